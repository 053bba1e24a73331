# Module and "ver.ini" signing keys.
#
# The server verifies module libraries and "ver.ini" against an RSA-2048 public
# key (exponent 65537) compiled into the `modules` library. By default configure
# generates a development key pair in the build tree (kept across re-configures).
# A vendor passes its own public key instead and keeps the private key off the
# build machine:
#
#   -DQTX_MODULE_PUBLIC_KEY=/path/vendor-public.pem
#   [-DQTX_MODULE_PRIVATE_KEY=/path/vendor-private.pem]   # only where the build may sign
#
# Results:
#   QTX_MODULE_PUBLIC_KEY_PEM   the public key the server trusts
#   QTX_MODULE_SIGNING_KEY      the private key the build signs with; empty when the
#                               build cannot sign (modules are then left unsigned)
#   QTX_PUBLIC_KEY_SOURCE       generated C++ source with the key split in two XOR tables

set(QTX_MODULE_PUBLIC_KEY "" CACHE FILEPATH "Public key PEM modules and ver.ini are verified with (default: development key)")
set(QTX_MODULE_PRIVATE_KEY "" CACHE FILEPATH "Private key PEM the build signs modules and ver.ini with")

find_program(QTX_OPENSSL_EXECUTABLE openssl REQUIRED)

set(_qtx_key_dir ${PROJECT_BINARY_DIR}/keys)
file(MAKE_DIRECTORY ${_qtx_key_dir})

if(QTX_MODULE_PUBLIC_KEY)
  set(QTX_MODULE_PUBLIC_KEY_PEM ${QTX_MODULE_PUBLIC_KEY})
  set(QTX_MODULE_SIGNING_KEY ${QTX_MODULE_PRIVATE_KEY})
else()
  set(_qtx_dev_private ${_qtx_key_dir}/qtx-dev-module-private.pem)
  set(QTX_MODULE_PUBLIC_KEY_PEM ${_qtx_key_dir}/qtx-dev-module-public.pem)
  if(NOT EXISTS ${_qtx_dev_private})
    message(STATUS "Generating development module signing key ${_qtx_dev_private}")
    execute_process(
      COMMAND ${QTX_OPENSSL_EXECUTABLE} genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048
              -pkeyopt rsa_keygen_pubexp:65537 -out ${_qtx_dev_private}
      RESULT_VARIABLE _rc ERROR_VARIABLE _err OUTPUT_QUIET)
    if(NOT _rc EQUAL 0)
      file(REMOVE ${_qtx_dev_private})
      message(FATAL_ERROR "openssl could not generate the development key: ${_err}")
    endif()
  endif()
  execute_process(
    COMMAND ${QTX_OPENSSL_EXECUTABLE} pkey -in ${_qtx_dev_private} -pubout -out ${QTX_MODULE_PUBLIC_KEY_PEM}
    RESULT_VARIABLE _rc ERROR_VARIABLE _err OUTPUT_QUIET)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "openssl could not derive the development public key: ${_err}")
  endif()
  if(QTX_MODULE_PRIVATE_KEY)
    set(QTX_MODULE_SIGNING_KEY ${QTX_MODULE_PRIVATE_KEY})
  else()
    set(QTX_MODULE_SIGNING_KEY ${_qtx_dev_private})
  endif()
endif()

if(NOT EXISTS ${QTX_MODULE_PUBLIC_KEY_PEM})
  message(FATAL_ERROR "Module public key ${QTX_MODULE_PUBLIC_KEY_PEM} does not exist")
endif()

# Modulus and exponent of the public key, as hexadecimal text.
execute_process(
  COMMAND ${QTX_OPENSSL_EXECUTABLE} rsa -pubin -in ${QTX_MODULE_PUBLIC_KEY_PEM} -noout -text
  OUTPUT_VARIABLE _qtx_key_text RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${QTX_MODULE_PUBLIC_KEY_PEM} is not an RSA public key: ${_err}")
endif()
if(NOT _qtx_key_text MATCHES "Public-Key: \\(2048 bit\\)")
  message(FATAL_ERROR "${QTX_MODULE_PUBLIC_KEY_PEM}: the module key must be RSA-2048")
endif()
if(NOT _qtx_key_text MATCHES "Exponent: 65537 ")
  message(FATAL_ERROR "${QTX_MODULE_PUBLIC_KEY_PEM}: the module key's exponent must be 65537")
endif()
execute_process(
  COMMAND ${QTX_OPENSSL_EXECUTABLE} rsa -pubin -in ${QTX_MODULE_PUBLIC_KEY_PEM} -noout -modulus
  OUTPUT_VARIABLE _qtx_modulus OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
string(REGEX REPLACE "^Modulus=" "" _qtx_modulus "${_qtx_modulus}")
string(TOLOWER "${_qtx_modulus}" _qtx_modulus)
string(LENGTH "${_qtx_modulus}" _len)
if(NOT _rc EQUAL 0 OR NOT _len EQUAL 512)
  message(FATAL_ERROR "Could not read the 256-byte modulus of ${QTX_MODULE_PUBLIC_KEY_PEM}")
endif()

# The generated source lays table A down at run time from an xorshift32 stream
# (seeded here at random), and keeps table B = key XOR A (plus random filler up to
# 512 bytes) in read-only data. Plain bytes 0-255 are the modulus, 256-258 the
# exponent 01 00 01, the rest is random.
# Seed and filler derive from the key (plus a per-build-tree salt) so that
# re-configuring does not rewrite the source.
if(NOT EXISTS ${_qtx_key_dir}/table-salt)
  string(RANDOM LENGTH 32 ALPHABET 0123456789abcdef _salt)
  file(WRITE ${_qtx_key_dir}/table-salt "${_salt}")
endif()
file(READ ${_qtx_key_dir}/table-salt _qtx_salt)
string(SHA256 _h "${_qtx_salt}${_qtx_modulus}seed")
string(SUBSTRING "${_h}" 0 8 _qtx_seed)
math(EXPR _qtx_state "0x${_qtx_seed} | 1")
set(_qtx_fill "")
foreach(_i RANGE 0 7)
  string(SHA256 _h "${_qtx_salt}${_qtx_modulus}${_i}")
  string(APPEND _qtx_fill "${_h}")
endforeach()
string(SUBSTRING "${_qtx_fill}" 0 250 _qtx_fill_a)
string(SUBSTRING "${_qtx_fill}" 250 256 _qtx_fill_b)
set(_qtx_plain "${_qtx_modulus}010001${_qtx_fill_a}${_qtx_fill_b}")
set(_qtx_table_b "")
foreach(_i RANGE 0 511)
  math(EXPR _pos "${_i} * 2")
  string(SUBSTRING "${_qtx_plain}" ${_pos} 2 _byte)
  if(_i LESS 384)
    math(EXPR _qtx_state "(${_qtx_state} ^ (${_qtx_state} << 13)) & 0xffffffff")
    math(EXPR _qtx_state "${_qtx_state} ^ (${_qtx_state} >> 17)")
    math(EXPR _qtx_state "(${_qtx_state} ^ (${_qtx_state} << 5)) & 0xffffffff")
    math(EXPR _out "(0x${_byte} ^ ${_qtx_state}) & 0xff" OUTPUT_FORMAT HEXADECIMAL)
  else()
    set(_out "0x${_byte}")
  endif()
  string(APPEND _qtx_table_b "${_out},")
  math(EXPR _col "${_i} % 12")
  if(_col EQUAL 11)
    string(APPEND _qtx_table_b "\n    ")
  endif()
endforeach()

set(QTX_PUBLIC_KEY_SOURCE ${PROJECT_BINARY_DIR}/generated/qtxpublickey.cpp)
file(CONFIGURE OUTPUT ${QTX_PUBLIC_KEY_SOURCE} @ONLY CONTENT
"// Generated by cmake/QtxKeys.cmake from @QTX_MODULE_PUBLIC_KEY_PEM@. Do not edit.
#include \"qtxpublickey_p.h\"

#include <cstdint>

namespace {

alignas(16) const unsigned char kTableB[512] = {
    @_qtx_table_b@
};

} // namespace

void qtxLayDownKeyTableA(unsigned char *v_pTable)
{
    std::uint32_t uiState = 0x@_qtx_seed@u | 1u;
    for (int i = 0; i < kQtxKeyTableASize; ++i) {
        uiState ^= uiState << 13;
        uiState ^= uiState >> 17;
        uiState ^= uiState << 5;
        v_pTable[i] = static_cast<unsigned char>(uiState & 0xffu);
    }
}

const unsigned char *qtxKeyTableB()
{
    return kTableB;
}
")
