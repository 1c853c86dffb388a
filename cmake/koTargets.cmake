# ko_add_library(NAME <name> SOURCES_DIR <dir> HEADERS_DIR <dir> [LINK <libs...>])
# One static library per imported component: every source of SOURCES_DIR, the
# interface headers of HEADERS_DIR as its public include folder. Position
# independent and hidden, because it is linked into the shared koSession
# library and must not show there; nothing of it is installed on its own.
# The few classes that the installed headers name carry KOPLATFORM_EXPORT
# (koPlatformExport.h, generated with the session library).
function(ko_add_library)
  cmake_parse_arguments(ARG "" "NAME;SOURCES_DIR;HEADERS_DIR" "LINK" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_SOURCES_DIR}/*.cpp ${ARG_SOURCES_DIR}/*.h)
  file(GLOB headers CONFIGURE_DEPENDS ${ARG_HEADERS_DIR}/*.h)
  add_library(${ARG_NAME} STATIC ${sources} ${headers})
  target_include_directories(${ARG_NAME} PUBLIC ${ARG_HEADERS_DIR} ${KOSESSION_GENERATED_DIR})
  target_link_libraries(${ARG_NAME} ${ARG_LINK})
  # Compiled as part of the koSession library: KOPLATFORM_EXPORT exports.
  target_compile_definitions(${ARG_NAME} PRIVATE koSession_EXPORTS)
  set_target_properties(${ARG_NAME} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()
