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
    add_compile_definitions(MARLUNE_SANITIZED=1)
endif()
