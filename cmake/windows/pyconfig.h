/* The interpreter configuration that the Python headers see when the
 * extension is cross-built for 64-bit Windows against the stable ABI.
 *
 * Only what the headers need to lay out the stable-ABI objects the way
 * python3.dll does: a 64-bit LLP64 target (long is 32 bits), a shared
 * interpreter whose functions and data are imported from a DLL. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64)
#error "this configuration is for 64-bit Windows only"
#endif

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif

#define MS_WINDOWS
#define MS_WIN64
#define MS_WIN32
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define PLATFORM "win32"

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_HKEY 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

#define HAVE_STDARG_PROTOTYPES
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_DECLSPEC_DLL
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_FORMAT_SIZE_T "z"
#define Py_WCHAR_T_IS_16_BITS 1

#endif /* Py_CONFIG_H */
