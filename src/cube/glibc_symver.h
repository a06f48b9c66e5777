// The pthread calls this library makes, bound to their first glibc versions.
//
// glibc 2.34 moved the pthread calls into libc, under a new default version
// for those that had lived only in libpthread (pthread_create@@GLIBC_2.34 and
// so on, the same code as before). Built against glibc 2.34 or newer, the
// module would then need that glibc at run time; binding to the first
// versions keeps it loadable on glibc 2.28 (manylinux_2_28). x86-64, i386
// and aarch64 are covered (aarch64's first glibc, 2.17, is its baseline for
// every symbol); musl, x32, ILP32 ARM and other architectures are left alone.
//
// Include it in every file that calls one of these functions.
#pragma once

#if defined(__GLIBC__) && defined(__x86_64__) && !defined(__ILP32__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.2.5");
__asm__(".symver pthread_attr_setstacksize, pthread_attr_setstacksize@GLIBC_2.2.5");
__asm__(".symver pthread_condattr_setclock, pthread_condattr_setclock@GLIBC_2.3.3");
__asm__(".symver pthread_key_create, pthread_key_create@GLIBC_2.2.5");
__asm__(".symver pthread_getspecific, pthread_getspecific@GLIBC_2.2.5");
__asm__(".symver pthread_setspecific, pthread_setspecific@GLIBC_2.2.5");
__asm__(".symver pthread_key_delete, pthread_key_delete@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__i386__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.1");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.0");
__asm__(".symver pthread_attr_setstacksize, pthread_attr_setstacksize@GLIBC_2.1");
__asm__(".symver pthread_condattr_setclock, pthread_condattr_setclock@GLIBC_2.3.3");
__asm__(".symver pthread_key_create, pthread_key_create@GLIBC_2.0");
__asm__(".symver pthread_getspecific, pthread_getspecific@GLIBC_2.0");
__asm__(".symver pthread_setspecific, pthread_setspecific@GLIBC_2.0");
__asm__(".symver pthread_key_delete, pthread_key_delete@GLIBC_2.0");
#elif defined(__GLIBC__) && defined(__aarch64__) && !defined(__ILP32__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.17");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.17");
__asm__(".symver pthread_attr_setstacksize, pthread_attr_setstacksize@GLIBC_2.17");
__asm__(".symver pthread_condattr_setclock, pthread_condattr_setclock@GLIBC_2.17");
__asm__(".symver pthread_key_create, pthread_key_create@GLIBC_2.17");
__asm__(".symver pthread_getspecific, pthread_getspecific@GLIBC_2.17");
__asm__(".symver pthread_setspecific, pthread_setspecific@GLIBC_2.17");
__asm__(".symver pthread_key_delete, pthread_key_delete@GLIBC_2.17");
#endif
