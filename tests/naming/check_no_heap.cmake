# Fails when an object file of the naming logic or of the capture and its temporary files
# refers to a heap allocator: the builder, the block read, the commit and the clean-up
# must work in fixed buffers (the version resource goes through its port).
# Called with -DNM=<nm> -DOBJECTS=<objects separated by |>.
string(REPLACE "|" ";" objects "${OBJECTS}")
set(checked 0)
foreach(object ${objects})
  if(object MATCHES "(dump_path|context_block_read|dump_name|capture|temporary_files)\\.cpp\\.o(bj)?$")
    execute_process(COMMAND ${NM} -C --undefined-only ${object} OUTPUT_VARIABLE symbols
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${NM} failed on ${object}")
    endif()
    if(symbols MATCHES "(operator new|[^a-z_]malloc|calloc|realloc|HeapAlloc|std::__cxx11::basic_string)")
      message(FATAL_ERROR "${object} refers to ${CMAKE_MATCH_1}:\n${symbols}")
    endif()
    math(EXPR checked "${checked} + 1")
  endif()
endforeach()
if(NOT checked EQUAL 5)
  message(FATAL_ERROR "expected 5 objects of the naming logic and the capture, found ${checked}")
endif()
