# The helpers the end-to-end driver runs beside the box reader, in one folder, for either build:
# included by tools/ and, with the release's toolchain, by wow64/tools32/. `tests` is the tests
# folder. The planted DLL is copied beside the installer under each name a run loads, and the
# control program shows that a plant under each name would be loaded (the cases from Downloads).
add_executable(boxreader ${tests}/tools/boxreader.cpp ${tests}/support/MessageBoxReader.cpp)
target_link_libraries(boxreader PRIVATE psapi user32 gdi32)
add_executable(shortname ${tests}/tools/shortname.cpp)
target_link_libraries(shortname PRIVATE shlwapi)
add_executable(sleeper ${tests}/tools/sleeper.cpp)
add_executable(plant_control WIN32 ${tests}/release/plant_control.c)
add_library(planted_dll SHARED ${tests}/release/planted_dll.c)
set_target_properties(planted_dll PROPERTIES OUTPUT_NAME planted PREFIX "")
foreach(tool boxreader shortname sleeper plant_control planted_dll)
  target_include_directories(${tool} PRIVATE ${tests}/..)
  target_compile_definitions(${tool} PRIVATE UNICODE _UNICODE NOMINMAX)
  target_link_options(${tool} PRIVATE -static $<$<NOT:$<STREQUAL:${tool},planted_dll>>:-municode>)
endforeach()
