# Fuzz targets of the capture logic, each against the fakes of its ports.
crash_fuzzer(fuzz_context_block SOURCES context_block_fuzz.cpp LIBS capture_core test_fakes)
crash_fuzzer(fuzz_dump_name SOURCES dump_name_fuzz.cpp LIBS capture_core test_fakes)
crash_fuzzer(fuzz_report_append SOURCES report_append_fuzz.cpp LIBS capture_core)
crash_fuzzer(fuzz_report SOURCES report_fuzz.cpp LIBS capture_core test_fakes)
