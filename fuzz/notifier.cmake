# Fuzz target of the notifier's command line and message.
crash_fuzzer(fuzz_notifier SOURCES notifier_fuzz.cpp LIBS notifier_core)
