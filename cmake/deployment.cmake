# The compiled-in password, the configuration file and its lock.

# The password comes from CRASHUI_SMTP_PASSWORD_FILE when that is set, so that it never enters
# CMakeCache.txt; reconfiguring follows changes to that file.
if(CRASHUI_SMTP_PASSWORD_FILE)
  if(NOT EXISTS "${CRASHUI_SMTP_PASSWORD_FILE}")
    message(FATAL_ERROR "CRASHUI_SMTP_PASSWORD_FILE: no file ${CRASHUI_SMTP_PASSWORD_FILE}")
  endif()
  file(READ "${CRASHUI_SMTP_PASSWORD_FILE}" crashui_password)
  string(REGEX REPLACE "\r?\n.*$" "" crashui_password "${crashui_password}") # the first line
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CRASHUI_SMTP_PASSWORD_FILE}")
else()
  set(crashui_password "${CRASHUI_SMTP_PASSWORD}")
endif()

# Masks the password byte by byte, so that the binary does not hold it as text (`strings`). The
# key is derived from the password itself (stable across reconfigurations, so nothing is rebuilt
# for nothing). This is obfuscation, not secrecy: the binary holds everything needed to unmask it.
string(HEX "${crashui_password}" crashui_password_hex)
string(LENGTH "${crashui_password_hex}" crashui_hex_length)
set(CRASHUI_SMTP_PASSWORD_MASKED "")
set(CRASHUI_SMTP_PASSWORD_KEY "")
set(crashui_at 0)
while(crashui_at LESS crashui_hex_length)
  string(SUBSTRING "${crashui_password_hex}" ${crashui_at} 2 crashui_byte)
  string(SHA256 crashui_hash "crashui ${crashui_at} ${crashui_password}")
  string(SUBSTRING "${crashui_hash}" 0 2 crashui_key)
  if(crashui_key STREQUAL "00")
    set(crashui_key "5a") # a zero key would leave the byte as it is
  endif()
  math(EXPR crashui_masked "0x${crashui_byte} ^ 0x${crashui_key}" OUTPUT_FORMAT HEXADECIMAL)
  string(APPEND CRASHUI_SMTP_PASSWORD_MASKED "${crashui_masked}, ")
  string(APPEND CRASHUI_SMTP_PASSWORD_KEY "0x${crashui_key}, ")
  math(EXPR crashui_at "${crashui_at} + 2")
endwhile()
unset(crashui_password)
unset(crashui_password_hex)

foreach(value CRASHUI_CONFIG_FILE CRASHUI_SMTP_AUTH CRASHUI_SMTP_USER CRASHUI_MAIL_FROM CRASHUI_MAIL_TO)
  if("${${value}}" MATCHES "[\"\\\\]")
    message(FATAL_ERROR "${value} must not hold a double quote or a backslash")
  endif()
endforeach()
if(NOT CRASHUI_SMTP_AUTH MATCHES "^(login|plain|none)$")
  message(FATAL_ERROR "CRASHUI_SMTP_AUTH must be login, plain or none, not '${CRASHUI_SMTP_AUTH}'")
endif()

# Generates the source file that tells an executable which configuration file it reads and
# whether the environment may change the mail's destination. The program's is part of
# crashui_report; a test build links an object library made by crashui_deployment_build, whose
# definitions then take the place of the library's (an archive member is only pulled in for
# symbols still missing).
function(crashui_deployment_source output file overrides)
  set(CRASHUI_BUILD_CONFIG_FILE "${file}")
  if(overrides)
    set(CRASHUI_BUILD_ENV_OVERRIDES true)
  else()
    set(CRASHUI_BUILD_ENV_OVERRIDES false)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/report/deploymentbuild.cpp.in ${output} @ONLY)
endfunction()

function(crashui_deployment_build target file overrides)
  crashui_deployment_source(${PROJECT_BINARY_DIR}/report/${target}.cpp "${file}" ${overrides})
  add_library(${target} OBJECT ${PROJECT_BINARY_DIR}/report/${target}.cpp)
  crashui_warnings(${target})
endfunction()
