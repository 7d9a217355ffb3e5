# The porting window's readers need only Qt Core and Xml, no window.
find_package(Qt5 5.15 QUIET COMPONENTS Core Xml)
if(Qt5_FOUND)
  rs_add_fuzzer(fuzz_keyporter_import ${CMAKE_CURRENT_SOURCE_DIR}/keyporter_import.cpp Qt5::Core Qt5::Xml)
  target_sources(fuzz_keyporter_import PRIVATE ${PROJECT_SOURCE_DIR}/gui/import_logic.cpp)
  target_include_directories(fuzz_keyporter_import PRIVATE ${PROJECT_SOURCE_DIR}/gui)
else()
  message(STATUS "Qt 5 not found: no fuzz_keyporter_import")
endif()
