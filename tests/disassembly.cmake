# Shared by the instruction checks: plumbra_disassemble(FILE OUT) sets OUT to the
# lines of FILE's disassembly (objdump -d, names demangled, no raw bytes), one
# list item per line; semicolons in the text become commas so that they cannot
# split a line.
function(plumbra_disassemble file out)
  execute_process(COMMAND ${OBJDUMP} -d -C --no-show-raw-insn ${file}
    OUTPUT_VARIABLE dump RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -d ${file} failed (${rc}): ${err}")
  endif()
  string(REPLACE ";" "," dump "${dump}")
  string(REPLACE "\n" ";" lines "${dump}")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()
