# Fails if an object of a vector ML-DSA backend (ISA: avx2 or avx512) defines
# a weak symbol outside the backend's own namespace. Such a symbol (an inline
# function or template of a header, compiled there with AVX2 or AVX-512
# enabled) is merged by the linker with its namesakes from the rest of the
# program, and whichever copy it keeps would then run on CPUs without them.
#
#   cmake -DNM=nm -DISA=avx2 -DOBJECTS=a.o;b.o -P mldsa65_backend_symbols.cmake

if(NOT ISA)
  set(ISA avx2)
endif()
# Emitted by every C++ object, and harmless: no code, or none that uses AVX2.
set(allowed "^(DW\\.ref\\.__gxx_personality_v0|__clang_call_terminate)$")
set(stray "")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -C --defined-only ${object}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ [WVvu] (.*)$")
      set(name "${CMAKE_MATCH_1}")
      if(NOT name MATCHES "^vestrel::mldsa65::${ISA}::" AND NOT name MATCHES "${allowed}")
        string(APPEND stray "\n  ${name}")
      endif()
    endif()
  endforeach()
endforeach()
if(stray)
  message(FATAL_ERROR "weak symbols outside vestrel::mldsa65::${ISA}:${stray}")
endif()
