# The interface adaptor com::ormel::vetu::labelmgr_adaptor, generated at build
# time from the introspection record in this directory. The generator hands
# the stubs no caller; add_sender_to_adaptor.cmake rewrites its output so that
# every method also receives the caller's unique bus name.
#
# Defines the INTERFACE target vetu_labelmgr_adaptor: link it to get the
# generated header on the include path (as a system header: generated code
# is not held to our warnings) and the generation ordered before compiling.

find_program(DBUSXX_XML2CPP dbusxx-xml2cpp REQUIRED)

set(VETU_ADAPTOR_XML ${CMAKE_CURRENT_LIST_DIR}/labelmgr_interface.xml)
set(VETU_ADAPTOR_GEN_DIR ${CMAKE_BINARY_DIR}/generated)
set(VETU_ADAPTOR_RAW ${VETU_ADAPTOR_GEN_DIR}/service/labelmgr_adaptor_raw.h)
set(VETU_ADAPTOR_HEADER ${VETU_ADAPTOR_GEN_DIR}/service/labelmgr_adaptor_generated.h)

add_custom_command(
  OUTPUT ${VETU_ADAPTOR_HEADER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VETU_ADAPTOR_GEN_DIR}/service
  COMMAND ${DBUSXX_XML2CPP} ${VETU_ADAPTOR_XML} --adaptor=${VETU_ADAPTOR_RAW}
  COMMAND ${CMAKE_COMMAND} -DIN=${VETU_ADAPTOR_RAW} -DOUT=${VETU_ADAPTOR_HEADER}
          -P ${CMAKE_CURRENT_LIST_DIR}/add_sender_to_adaptor.cmake
  DEPENDS ${VETU_ADAPTOR_XML} ${CMAKE_CURRENT_LIST_DIR}/add_sender_to_adaptor.cmake
  COMMENT "Generating the labelmgr adaptor"
  VERBATIM)
add_custom_target(vetu_labelmgr_adaptor_gen DEPENDS ${VETU_ADAPTOR_HEADER})

add_library(vetu_labelmgr_adaptor INTERFACE)
target_include_directories(vetu_labelmgr_adaptor SYSTEM INTERFACE ${VETU_ADAPTOR_GEN_DIR})
add_dependencies(vetu_labelmgr_adaptor vetu_labelmgr_adaptor_gen)
