# Fails if an object of the AVX2 ML-DSA backend defines a weak symbol outside
# the backend's own namespace. Such a symbol (an inline function or template
# of a header, compiled there with AVX2 enabled) is merged by the linker with
# its namesakes from the rest of the program, and whichever copy it keeps
# would then run on CPUs without AVX2 too.
#
#   cmake -DNM=nm -DOBJECTS=a.o;b.o -P mldsa65_backend_symbols.cmake

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
      if(NOT name MATCHES "^vestrel::mldsa65::avx2::" AND NOT name MATCHES "${allowed}")
        string(APPEND stray "\n  ${name}")
      endif()
    endif()
  endforeach()
endforeach()
if(stray)
  message(FATAL_ERROR "weak symbols outside vestrel::mldsa65::avx2:${stray}")
endif()
