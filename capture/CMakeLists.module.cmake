# Calvorin.dll, the WER out-of-process exception module. Built from module_win.cpp, which
# capture/CMakeLists.txt keeps out of both libraries; its exports come from the .def file
# so that their names are exact and nothing else is exported.
if(WIN32)
  add_library(calvorin SHARED ${CMAKE_CURRENT_SOURCE_DIR}/module_win.cpp
                              ${CMAKE_CURRENT_SOURCE_DIR}/calvorin.def)
  set_target_properties(calvorin PROPERTIES OUTPUT_NAME Calvorin PREFIX "" IMPORT_PREFIX "")
  # dbghelp.dll and version.dll are loaded from System32 at run time, never imported:
  # see system_library.h.
  target_link_libraries(calvorin PRIVATE capture_win capture_core common)
  target_compile_options(calvorin PRIVATE ${CRASH_DELIVERABLE_FLAGS})
  target_link_options(calvorin PRIVATE ${CRASH_DELIVERABLE_LINK_FLAGS})
  crash_pdb(calvorin)
endif()
