# Compile settings for our own targets. Program code: no exceptions, no RTTI,
# warnings are errors, plain x86-64 (SSE2); AVX2 is enabled per file for the
# kernels that need it (qb_avx2_sources).

set(QB_WARNINGS -Wall -Wextra -Werror)

# A library or executable that is part of the program.
function(qb_program_target target)
    target_compile_options(${target} PRIVATE ${QB_WARNINGS} -fno-exceptions -fno-rtti)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    if(QB_ASSERTS)
        target_compile_definitions(${target} PUBLIC QB_ASSERTS=1)
    endif()
endfunction()

# Tests, tools and benchmarks: warnings are still errors, but they may use
# exceptions and the standard library freely.
function(qb_support_target target)
    target_compile_options(${target} PRIVATE ${QB_WARNINGS})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()

# Files holding AVX2 kernels; the dispatcher picks them only after a CPU check.
# qb_avx2_sources([TARGET] file...): with a target first, the flags are set
# in that target's directory, so a sub-folder can mark files of a library
# defined above it.
function(qb_avx2_sources)
    set(files ${ARGN})
    list(GET files 0 first)
    if(TARGET ${first})
        list(REMOVE_AT files 0)
        set_source_files_properties(${files} TARGET_DIRECTORY ${first} PROPERTIES COMPILE_OPTIONS "-mavx2;-mbmi2")
    else()
        set_source_files_properties(${files} PROPERTIES COMPILE_OPTIONS "-mavx2;-mbmi2")
    endif()
endfunction()

# Windows executables link the C and C++ runtimes statically, so quorbel.exe
# and the test programs import nothing but system DLLs.
function(qb_windows_static target)
    if(WIN32)
        target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    endif()
endfunction()
