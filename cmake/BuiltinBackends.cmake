# divu_builtin_backends(OUT Name...): writes BuiltinBackends.cpp, the engine's
# list of the backends compiled in, each named by the factory its source
# defines (db::engine::k<Name>Backend), and sets OUT to the file. The sources
# compiled and the backends listed then come from one list.
function(divu_builtin_backends out)
  set(DIVU_BACKEND_DECLARATIONS "")
  set(DIVU_BACKEND_ENTRIES "")
  foreach(name IN LISTS ARGN)
    string(APPEND DIVU_BACKEND_DECLARATIONS "extern const BackendFactory k${name}Backend;\n")
    string(APPEND DIVU_BACKEND_ENTRIES "      &k${name}Backend,\n")
  endforeach()
  set(file ${CMAKE_CURRENT_BINARY_DIR}/generated/Db/Engine/BuiltinBackends.cpp)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../Db/Engine/BuiltinBackends.cpp.in ${file} @ONLY)
  set(${out} ${file} PARENT_SCOPE)
endfunction()
