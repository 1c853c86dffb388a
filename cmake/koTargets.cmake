# ko_add_library(NAME <name> SOURCES_DIR <dir> HEADERS_DIR <dir> [LINK <libs...>])
# One shared library per imported component: every source of SOURCES_DIR, the
# interface headers of HEADERS_DIR as its public include folder in the build
# tree, installed and exported with the koSession package (the headers that a
# host needs are installed with the session library).
function(ko_add_library)
  cmake_parse_arguments(ARG "" "NAME;SOURCES_DIR;HEADERS_DIR" "LINK" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_SOURCES_DIR}/*.cpp ${ARG_SOURCES_DIR}/*.h)
  file(GLOB headers CONFIGURE_DEPENDS ${ARG_HEADERS_DIR}/*.h)
  add_library(${ARG_NAME} SHARED ${sources} ${headers})
  add_library(koSession::${ARG_NAME} ALIAS ${ARG_NAME})
  target_include_directories(${ARG_NAME} PUBLIC
    $<BUILD_INTERFACE:${ARG_HEADERS_DIR}>
    $<INSTALL_INTERFACE:${KOSESSION_INCLUDE_INSTALL_DIR}>)
  target_link_libraries(${ARG_NAME} ${ARG_LINK})
  # The interface headers carry no export macros: a DLL exports every symbol.
  set_target_properties(${ARG_NAME} PROPERTIES
    WINDOWS_EXPORT_ALL_SYMBOLS ON
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  install(TARGETS ${ARG_NAME} EXPORT koSessionTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
