#pragma once
// Every address of the BriVok service is its web root followed by a fixed path; nothing is
// assembled at run time.
#include "ServiceRoot.h"

#define BRIVOK_ICON_PATH "files/bin_brivok_favicon.ico"
#define BRIVOK_DROV_PATH "drov"
#define BRIVOK_ENDPOINT_PATH "brivok?brivok_add_review_url="
#define BRIVOK_PARSING_SCRIPT_PATH "sites/all/modules/brivok/brivok_page_parsing.js"

inline constexpr wchar_t kServiceRootUrl[] = BRIVOK_ROOT_W;
inline constexpr wchar_t kServiceIconUrl[] = BRIVOK_ROOT_W L"" BRIVOK_ICON_PATH;
inline constexpr wchar_t kServiceDrovUrl[] = BRIVOK_ROOT_W L"" BRIVOK_DROV_PATH;
