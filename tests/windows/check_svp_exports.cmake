# Checks the PE tables of the Windows module SVP with OBJDUMP (i686-w64-mingw32-objdump):
#  - a 32-bit x86 DLL;
#  - its export table names exactly one function, QueryModule, undecorated (no leading
#    underscore, no @N suffix), so GetProcAddress(module, "QueryModule") finds it;
#  - it imports only from DLLs that every Windows installation has, so copying the one file
#    is enough (no MinGW runtime DLLs such as libgcc_s_dw2-1.dll, libstdc++-6.dll or
#    libwinpthread-1.dll, no MSVC redistributable);
#  - it uses none of the C library's transcendental functions, neither imported nor linked
#    in (MinGW links its own sin, cos, pow and the like in, built on x87 instructions whose
#    results differ between processors and from other platforms' libraries): the module
#    draws with its own Sine and Cosine so that every platform computes the same pixels.
cmake_minimum_required(VERSION 3.25)
foreach(var OBJDUMP SVP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
if(NOT OBJDUMP OR NOT EXISTS "${OBJDUMP}")
  message(FATAL_ERROR "i686-w64-mingw32-objdump not found: run scripts/install-windows-deps.sh")
endif()
if(NOT EXISTS "${SVP}")
  message(FATAL_ERROR "${SVP} does not exist: build the Windows module first (make svp)")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${SVP} OUTPUT_VARIABLE dump ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -p ${SVP} failed: ${err}")
endif()

if(NOT dump MATCHES "file format pei-i386")
  message(FATAL_ERROR "${SVP} is not a 32-bit x86 PE image")
endif()
if(NOT dump MATCHES "\nCharacteristics [^\n]*\n(\t[^\n]*\n)*\tDLL\n")
  message(FATAL_ERROR "${SVP} is not marked as a DLL")
endif()

# Exported names: the lines of the name table, up to the next blank line.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${SVP} has no export name table")
endif()
string(SUBSTRING "${dump}" ${at} -1 table)
string(FIND "${table}" "\n\n" end)
if(NOT end EQUAL -1)
  string(SUBSTRING "${table}" 0 ${end} table)
endif()
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(exports "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND exports "${name}")
endforeach()
if(NOT exports STREQUAL "QueryModule")
  message(FATAL_ERROR "expected exactly the export QueryModule, got: [${exports}]")
endif()

# Imported DLLs: Windows system libraries only.
set(system_dlls kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" entries "${dump}")
set(imports "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^DLL Name: " "" dll "${entry}")
  string(STRIP "${dll}" dll)
  list(APPEND imports "${dll}")
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST system_dlls)
    message(FATAL_ERROR "${SVP} imports from ${dll}, which a Windows installation may lack")
  endif()
endforeach()

# Imported functions: none of the C library's transcendental functions.
string(FIND "${dump}" "The Import Tables" at)
if(NOT at EQUAL -1)
  string(SUBSTRING "${dump}" ${at} -1 import_tables)
  string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_0-9]+" functions "${import_tables}")
  foreach(row IN LISTS functions)
    string(REGEX REPLACE "^.* " "" fn "${row}")
    if(fn MATCHES "^_?(sin|cos|tan|asin|acos|atan|atan2|exp|exp2|log|log2|log10|pow|sinh|cosh|tanh|fmod|hypot)[fl]?$")
      message(FATAL_ERROR "${SVP} imports ${fn} from the C library; the module must use its own")
    endif()
  endforeach()
endif()

# Linked-in transcendental functions show as x87 instructions that only they use.
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${SVP} OUTPUT_VARIABLE code RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -d ${SVP} failed")
endif()
string(REGEX MATCHALL "\tf(sin|cos|sincos|ptan|patan|2xm1|yl2x|yl2xp1|scale|prem|prem1)[ \n]" x87 "${code}")
if(x87)
  string(REGEX REPLACE "[\t\n ]" "" x87 "${x87}")
  list(REMOVE_DUPLICATES x87)
  message(FATAL_ERROR "${SVP} holds x87 transcendental instructions (${x87}): a C library "
                      "function such as sin, cos, exp or pow is linked in")
endif()

message(STATUS "exports: ${exports}; imports from: ${imports}")
