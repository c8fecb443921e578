# The product's facts (the top CMakeLists.txt) checked against what ships
# them: one line naming the fact and its rule, and the configuration fails.
function(quendarix_refuse fact rule)
    message(FATAL_ERROR " ${fact} '${${fact}}' ${rule}")  # indented: one line, unwrapped
endfunction()

# Windows Installer compares major.minor.build and ignores a fourth field, so
# a release that differs only there is no upgrade.
if(NOT QUENDARIX_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" OR CMAKE_MATCH_1 GREATER 255
   OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
    quendarix_refuse(QUENDARIX_VERSION "is not three numbers within Windows Installer's ProductVersion (major and minor at most 255, build at most 65535)")
endif()

# The narrow calls and the resources carry ASCII text; '"' and '\' would end
# or escape the text they are written into.
foreach(fact QUENDARIX_SERVICE_NAME QUENDARIX_DISPLAY_NAME QUENDARIX_DESCRIPTION QUENDARIX_COMPANY QUENDARIX_PRODUCT)
    if(NOT ${fact} MATCHES "^[ -~]+$" OR ${fact} MATCHES "[\"\\\\]")
        quendarix_refuse(${fact} "is not printable ASCII without '\"' and '\\'")
    endif()
endforeach()
if(QUENDARIX_SERVICE_NAME MATCHES "/")
    quendarix_refuse(QUENDARIX_SERVICE_NAME "holds '/', which a service's name cannot")
endif()

# Program Files\FOLDER: one folder that Windows can name (Windows Installer's
# DefaultDir takes no '\').
string(TOUPPER "${QUENDARIX_INSTALL_FOLDER}" quendarix_folder)
if(NOT QUENDARIX_INSTALL_FOLDER MATCHES "^[ -~]+$" OR QUENDARIX_INSTALL_FOLDER MATCHES "[\\\\/:*?\"<>|]"
   OR QUENDARIX_INSTALL_FOLDER MATCHES "^[ .]|[ .]$"
   OR quendarix_folder MATCHES "^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?$")
    quendarix_refuse(QUENDARIX_INSTALL_FOLDER "is not one plain folder name (printable ASCII, none of \\ / : * ? \" < > |, no leading or trailing space or dot, no device name)")
endif()

string(REPEAT "[0-9a-fA-F]" 4 quendarix_hex4)
set(quendarix_guid "^${quendarix_hex4}${quendarix_hex4}-${quendarix_hex4}-${quendarix_hex4}-${quendarix_hex4}-${quendarix_hex4}${quendarix_hex4}${quendarix_hex4}$")
if(NOT QUENDARIX_UPGRADE_CODE MATCHES "${quendarix_guid}")
    quendarix_refuse(QUENDARIX_UPGRADE_CODE "is not a GUID (8-4-4-4-12 hexadecimal digits, no braces)")
endif()
