# Compiles the device code as the CUDA backend does, with ptxas reporting each kernel's
# registers, stack frame and spills, and fails on any spill or on a stack frame above
# 1 KiB per thread: either turns the kernels' local memory into slow global traffic.
# Run by CTest as: cmake -DNVCC=... -DSOURCE_DIR=... -DARCH=sm_90 -DWORK_DIR=... -P ptxas_check.cmake
set(max_stack 1024)
execute_process(
  COMMAND ${NVCC} -c -std=c++17 -O3 -arch=${ARCH} -Xptxas -v -Xcudafe --diag_suppress=177
          -I${SOURCE_DIR} -I${SOURCE_DIR}/include -DTESSRA_BUILDING_LIBRARY
          ${SOURCE_DIR}/runtime/cuda/cuda_backend.cu -o ${WORK_DIR}/ptxas_check.o
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nvcc failed (${rc}):\n${err}")
endif()
string(REPLACE "\n" ";" lines "${out}${err}")
# The kernel names, to find each in the mangled name of its generated entry.
file(STRINGS ${SOURCE_DIR}/device/kernels.def defs REGEX "^TESSRA_KERNEL_NAME\\(")
set(names "")
foreach(def IN LISTS defs)
  string(REGEX REPLACE "^TESSRA_KERNEL_NAME\\(([A-Za-z0-9_]+)\\).*" "\\1" name "${def}")
  list(APPEND names ${name})
endforeach()

set(kernel "")
set(failures 0)
set(kernels 0)
foreach(line IN LISTS lines)
  if(line MATCHES "Function properties for ([A-Za-z0-9_]+)")
    # The entries are generated per kernel as <name>_entry, length-prefixed when mangled.
    set(mangled ${CMAKE_MATCH_1})
    set(kernel "")
    foreach(name IN LISTS names)
      string(LENGTH "${name}_entry" length)
      if(mangled MATCHES "[^0-9]${length}${name}_entryI")
        set(kernel ${name})
      endif()
    endforeach()
  elseif(kernel AND line MATCHES "([0-9]+) bytes stack frame, ([0-9]+) bytes spill stores, ([0-9]+) bytes spill loads")
    set(stack_${kernel} ${CMAKE_MATCH_1})
    math(EXPR spill_${kernel} "${CMAKE_MATCH_2} + ${CMAKE_MATCH_3}")
  elseif(kernel AND line MATCHES "Used ([0-9]+) registers")
    set(regs ${CMAKE_MATCH_1})
    set(verdict "")
    if(spill_${kernel} GREATER 0)
      string(APPEND verdict "  SPILLS")
    endif()
    if(stack_${kernel} GREATER max_stack)
      string(APPEND verdict "  STACK OVER ${max_stack} BYTES")
    endif()
    if(verdict)
      math(EXPR failures "${failures} + 1")
    endif()
    math(EXPR kernels "${kernels} + 1")
    message("${kernel}: ${regs} registers, ${stack_${kernel}} bytes stack, ${spill_${kernel}} bytes spilled${verdict}")
    set(kernel "")
  endif()
endforeach()

if(kernels EQUAL 0)
  message(FATAL_ERROR "ptxas reported no kernel; its output was:\n${out}${err}")
endif()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of ${kernels} kernels spill registers or use more than ${max_stack} bytes of stack")
endif()
