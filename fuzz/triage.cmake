# The support tool's dump reader, on arbitrary bytes through a memory reader. Its seeds
# x86-*.dmp are copies of dumps in tests/triage/public (sources and licences there).
crash_fuzzer(fuzz_triage_reader SOURCES triage_reader_fuzz.cpp LIBS triage_core)
