# Every address of the BriVok service the installer uses, written once: the web root
# (BRIVOK_ROOT) followed by a fixed path. The program (service/ServiceAddresses.h, generated
# from ServiceAddresses.h.in) and the shortcut documents (resources/resources.cmake) take
# them from here; the bookmarklet is given the root itself.
set(BRIVOK_ICON_URL "${BRIVOK_ROOT}files/bin_brivok_favicon.ico")
set(BRIVOK_DROV_URL "${BRIVOK_ROOT}drov")
configure_file(${CMAKE_CURRENT_LIST_DIR}/ServiceAddresses.h.in
               ${BRIVOK_GENERATED_DIR}/service/ServiceAddresses.h @ONLY)
