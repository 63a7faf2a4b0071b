# Hardening of the Linux programs, as Debian builds its packages: glibc's
# checked variants of the string and I/O functions (_FORTIFY_SOURCE, which
# needs optimisation, so not in Debug builds), and a read-only relocation
# table resolved at start-up (RELRO with BIND_NOW). Left out of sanitizer and
# fuzzing builds, whose run-time libraries intercept the same functions, and
# of the Windows cross build.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT SANITIZE AND NOT FUZZ)
  # -U first: some compilers define a level of their own, and a second
  # definition would be warned about.
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro,-z,now)
endif()
