# The module-file reader, the x64 unwinder and the stack walk, on arbitrary bytes.
crash_fuzzer(fuzz_pe_image SOURCES pe_image_fuzz.cpp LIBS triage_core)
