# Sanitizer builds apply to every target, JUCE included, so that the whole
# process is instrumented (mixing instrumented and plain code hides races).
if(MARLUNE_SANITIZERS)
    string(REPLACE "," ";" _marlune_san_list "${MARLUNE_SANITIZERS}")
    set(_marlune_san_flags "-fsanitize=${MARLUNE_SANITIZERS}" -fno-omit-frame-pointer -g)
    if("undefined" IN_LIST _marlune_san_list)
        list(APPEND _marlune_san_flags -fno-sanitize-recover=undefined -fno-sanitize=vptr)
    endif()
    add_compile_options(${_marlune_san_flags})
    add_link_options("-fsanitize=${MARLUNE_SANITIZERS}")
    # clang links the sanitizer runtime into executables only; the plug-in
    # bundle takes it from the (sanitized) host process that loads it.
    add_link_options("$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,MODULE_LIBRARY>:LINKER:-z,undefs>")
    add_compile_definitions(MARLUNE_SANITIZED=1)
endif()

# Fuzz builds instrument all code for coverage; only the fuzz executables link
# libFuzzer's driver (-fsanitize=fuzzer, set in tests/fuzz).
# Two checks stay recoverable there so that tests/fuzz/ubsan.supp can silence
# known undefined behaviour inside the framework, which cannot be fixed here.
if(MARLUNE_BUILD_FUZZERS)
    add_compile_options(-fsanitize=fuzzer-no-link -fsanitize-recover=signed-integer-overflow,enum)
    add_link_options(-fsanitize=fuzzer-no-link)
endif()
