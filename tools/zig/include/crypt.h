/* zig ships glibc's headers without libcrypt's <crypt.h>, which Python.h of
   CPython 3.8 to 3.12 includes where the interpreter's build had it.  Nothing
   here calls crypt(); the declaration is the one libcrypt gives. */
#ifndef KORVANE_ZIG_CRYPT_H
#define KORVANE_ZIG_CRYPT_H
#ifdef __cplusplus
extern "C" {
#endif
char *crypt(const char *phrase, const char *setting);
#ifdef __cplusplus
}
#endif
#endif
