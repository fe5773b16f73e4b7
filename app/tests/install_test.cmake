# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DLIBDIR=lib -P install_test.cmake
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/tessra.h ${LIBDIR}/libtessra.so ${LIBDIR}/cmake/Tessra/TessraConfig.cmake
          ${LIBDIR}/pkgconfig/tessra.pc bin/tessra-render)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "missing after install: ${f}")
  endif()
endforeach()

set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_BUILD_RPATH=${prefix}/${LIBDIR})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build -j2)
foreach(exe consumer_cmake consumer_pkgconfig)
  run(${WORK_DIR}/build/${exe})
  if(NOT last_output MATCHES "tessra [0-9]+\\.[0-9]+\\.[0-9]+ centre")
    message(FATAL_ERROR "${exe} printed: ${last_output}")
  endif()
endforeach()
# The installed program finds the installed library.
run(${prefix}/bin/tessra-render --version)
message(STATUS "installed and consumed: ${last_output}")
