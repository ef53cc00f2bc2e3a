# The support tool's dump reader, on arbitrary bytes through a memory reader.
crash_fuzzer(fuzz_triage_reader SOURCES triage_reader_fuzz.cpp LIBS triage_core)
