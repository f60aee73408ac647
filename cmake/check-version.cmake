# Fails unless BINARY carries the version record with the product's name,
# description and the version of resources/quorbel.rc (the strings are
# UTF-16 in the resource section).
# Usage: cmake -DBINARY=... -DRC=resources/quorbel.rc -P check-version.cmake
file(STRINGS ${RC} version_line REGEX "^#define QB_VERSION_TEXT ")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" version "${version_line}")
if(NOT version)
    message(FATAL_ERROR "${RC} names no version")
endif()
file(READ ${BINARY} bytes HEX)
function(utf16_hex text out)
    string(HEX "${text}" hex)
    string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
    set(${out} ${hex} PARENT_SCOPE)
endfunction()
foreach(text IN ITEMS "VS_VERSION_INFO" "ProductName" "Quorbel" "FileDescription" "Quorbel image viewer"
                      "ProductVersion" "${version}")
    utf16_hex("${text}" hex)
    string(FIND "${bytes}" "${hex}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${BINARY}: no \"${text}\" in its version record")
    endif()
endforeach()
message(STATUS "version record ${version}")
