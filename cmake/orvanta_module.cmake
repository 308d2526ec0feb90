# orvanta_add_module(<name> <package dir> <sources...>)
# Declares one extension module: the target name is the NB_MODULE name, it links the
# internal library privately and lands in the package folder given (e.g. orvanta/backtest).
function(orvanta_add_module name package_dir)
  nanobind_add_module(${name} NB_STATIC ${ARGN})
  target_link_libraries(${name} PRIVATE orvanta_native)
  orvanta_warnings(${name})
  install(TARGETS ${name} LIBRARY DESTINATION ${package_dir})
endfunction()

function(orvanta_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ORVANTA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
