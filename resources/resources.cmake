# Included from the top-level list, so that the generated files and the executable share
# one directory scope. The resource script and what it binds are generated into the build folder, so that the
# manifest can name the architecture and the documents can carry BRIVOK_ROOT.
configure_file(${CMAKE_CURRENT_LIST_DIR}/BrivokButtons.manifest.in ${BRIVOK_GENERATED_DIR}/BrivokButtons.manifest @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/BrivokButtons.rc.in ${BRIVOK_GENERATED_DIR}/BrivokButtons.rc @ONLY)

add_custom_command(
  OUTPUT ${BRIVOK_GENERATED_DIR}/BrivokButtons.ico
  COMMAND ${BRIVOK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/make_icon.py
          ${BRIVOK_GENERATED_DIR}/BrivokButtons.ico
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_icon.py
  COMMENT "Drawing the application icon")

# The two shortcut documents carry the root; the bookmarklet is kept readable in its own
# file and joined into its one-line form here. The command line holds the root, so a new
# root regenerates them.
set(BRIVOK_VIEW_DOCUMENT ${BRIVOK_GENERATED_DIR}/ViewShortcut.url)
set(BRIVOK_SAVE_DOCUMENT ${BRIVOK_GENERATED_DIR}/SaveShortcut.url)
add_custom_command(
  OUTPUT ${BRIVOK_VIEW_DOCUMENT} ${BRIVOK_SAVE_DOCUMENT}
  COMMAND ${BRIVOK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/make_documents.py
          ${BRIVOK_ROOT} ${CMAKE_CURRENT_LIST_DIR}/bookmarklet.js
          ${BRIVOK_VIEW_DOCUMENT} ${BRIVOK_SAVE_DOCUMENT}
          ${BRIVOK_ICON_URL} ${BRIVOK_DROV_URL} ${BRIVOK_VIEW_SHORTCUT_TITLE}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_documents.py ${CMAKE_CURRENT_LIST_DIR}/bookmarklet.js
  COMMENT "Writing the shortcut documents for ${BRIVOK_ROOT}"
  VERBATIM)

add_custom_target(brivok_resource_files DEPENDS
  ${BRIVOK_GENERATED_DIR}/BrivokButtons.ico ${BRIVOK_VIEW_DOCUMENT} ${BRIVOK_SAVE_DOCUMENT})

# Whatever the resource script binds: the object is rebuilt when any of them changes.
# A target in another folder that compiles the script too sets the same property there.
set(BRIVOK_RESOURCE_DEPENDS
  ${BRIVOK_GENERATED_DIR}/BrivokButtons.ico
  ${BRIVOK_GENERATED_DIR}/BrivokButtons.manifest
  ${BRIVOK_VIEW_DOCUMENT}
  ${BRIVOK_SAVE_DOCUMENT})
set_source_files_properties(${BRIVOK_GENERATED_DIR}/BrivokButtons.rc PROPERTIES
  OBJECT_DEPENDS "${BRIVOK_RESOURCE_DEPENDS}")
set(BRIVOK_RESOURCE_SCRIPT ${BRIVOK_GENERATED_DIR}/BrivokButtons.rc)
