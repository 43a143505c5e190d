# The built-in instrument bank travels inside the song compiler as its TOML
# text: zimblo_songc_bank_source(VAR) sets VAR to a generated C++ source that
# defines it, made from tools/songc/bank/gm.toml whenever that changes.
set(ZIMBLO_SONGC_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
function(zimblo_songc_bank_source out_var)
  set(toml ${ZIMBLO_SONGC_ROOT}/tools/songc/bank/gm.toml)
  set(cpp ${CMAKE_BINARY_DIR}/generated/songc/builtin_bank_text.cpp)
  add_custom_command(
    OUTPUT ${cpp}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${toml} -DOUTPUT=${cpp} -DSYMBOL=kBuiltinBankToml
            -P ${ZIMBLO_SONGC_ROOT}/cmake/embed_text.cmake
    DEPENDS ${toml} ${ZIMBLO_SONGC_ROOT}/cmake/embed_text.cmake
    COMMENT "Embedding the built-in instrument bank"
    VERBATIM)
  set(${out_var} ${cpp} PARENT_SCOPE)
endfunction()
