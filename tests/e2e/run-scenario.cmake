# Runs one scenario script through qbdrive and compares the printed state
# lines with the expected ones. Usage:
#   cmake -DQBDRIVE=... -DSCRIPT=x.qbs -DEXPECTED=x.out [-DUPDATE=1] -P run-scenario.cmake
# For the Windows harness, QBDRIVE is the whole command line as a list up to
# the script (wine, qbdrive.exe), SCRIPT the script as the harness sees it
# and EXTRA what follows it (the program to drive).
# A failing run shows everything: the lines printed, the lines expected and
# what went to the error stream, so a failure seen once in CI can be read.
cmake_policy(SET CMP0007 NEW)
string(REPLACE "|" ";" command "${QBDRIVE}")
execute_process(COMMAND ${command} ${SCRIPT} ${EXTRA} OUTPUT_VARIABLE actual ERROR_VARIABLE errors RESULT_VARIABLE rc)

# (A notice is printed as it is; an error's text would be rewrapped.)
function(fail_run headline)
    set(text "--- printed ---\n${actual}--- expected ---\n")
    if(EXISTS "${EXPECTED}")
        file(READ ${EXPECTED} expected_text)
        string(APPEND text "${expected_text}")
    endif()
    string(APPEND text "--- error stream ---\n${errors}--- end ---")
    message(NOTICE "${text}")
    message(FATAL_ERROR "${headline}")
endfunction()

if(NOT rc EQUAL 0)
    fail_run("${SCRIPT}: qbdrive exited with ${rc}")
endif()
if(UPDATE)
    file(WRITE ${EXPECTED} "${actual}")
    return()
endif()
file(READ ${EXPECTED} expected)
if(NOT actual STREQUAL expected)
    string(REPLACE "\n" ";" actual_lines "${actual}")
    string(REPLACE "\n" ";" expected_lines "${expected}")
    list(LENGTH actual_lines na)
    list(LENGTH expected_lines ne)
    set(i 0)
    while(i LESS na OR i LESS ne)
        set(a "")
        set(e "")
        if(i LESS na)
            list(GET actual_lines ${i} a)
        endif()
        if(i LESS ne)
            list(GET expected_lines ${i} e)
        endif()
        if(NOT a STREQUAL e)
            math(EXPR line "${i} + 1")
            fail_run("${SCRIPT}: state line ${line} differs\n expected: ${e}\n   actual: ${a}")
        endif()
        math(EXPR i "${i} + 1")
    endwhile()
    # Texts that differ only where the line split cannot see it (blank
    # lines at the end, a stray carriage return in a list separator).
    fail_run("${SCRIPT}: the output differs from the expected lines")
endif()
