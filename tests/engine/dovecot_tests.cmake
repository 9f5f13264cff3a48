# postbell-check against a real Dovecot POP3 server, which tools/test.sh starts and names in
# POSTBELL_TEST_POP3_PORT and POSTBELL_TEST_POP3_DIR; skipped (77) without them.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(TARGET postbell-check)
  add_test(NAME dovecot_check
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/dovecot_check_test.py
                   $<TARGET_FILE:postbell-check>)
  set_tests_properties(dovecot_check PROPERTIES LABELS dovecot SKIP_RETURN_CODE 77 TIMEOUT 900)
else()
  message(WARNING "no postbell-check target: the Dovecot test is not registered")
endif()

# postbell-check over TLS and STLS against a Dovecot that the test starts itself with
# certificates it makes at run time; skipped (77) without root or Dovecot.
if(TARGET postbell-check)
  add_test(NAME dovecot_tls
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/dovecot_tls_test.py
                   $<TARGET_FILE:postbell-check>)
  set_tests_properties(dovecot_tls PROPERTIES LABELS dovecot SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
