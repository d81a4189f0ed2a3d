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
add_custom_target(brivok_resource_files DEPENDS ${BRIVOK_GENERATED_DIR}/BrivokButtons.ico)

set(BRIVOK_RESOURCE_DEPENDS
  ${BRIVOK_GENERATED_DIR}/BrivokButtons.ico
  ${BRIVOK_GENERATED_DIR}/BrivokButtons.manifest)
set_source_files_properties(${BRIVOK_GENERATED_DIR}/BrivokButtons.rc PROPERTIES
  OBJECT_DEPENDS "${BRIVOK_RESOURCE_DEPENDS}")
set(BRIVOK_RESOURCE_SCRIPT ${BRIVOK_GENERATED_DIR}/BrivokButtons.rc)
