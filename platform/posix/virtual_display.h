// Virtual displays: in-process HID devices on the stand-in's interface list,
// for tests, benchmarks, the demo and users without hardware. The C API is
// exported by the extension on non-Windows builds; kvdash_virtual.py is its
// Python face. Ids are positive; a call with an unknown id answers -1.
#pragma once

#if defined(__GNUC__)
#define KVVD_API extern "C" __attribute__((visibility("default")))
#else
#define KVVD_API extern "C"
#endif

// buttonsMin/buttonsMax: the first input button usage range, 0/0 for none.
KVVD_API int kvvd_attach(int vendor, int product, int version, const char* manufacturer,
                         const char* product_name, const char* serial, int buttonsMin,
                         int buttonsMax, int valueCaps);
// Unplugged: it leaves the list; writes on its open handles fail with 1167.
KVVD_API int kvvd_detach(int id);
// Detaches and forgets every virtual device and clears every fault.
KVVD_API void kvvd_reset(void);
KVVD_API int kvvd_is_attached(int id);
// 1 when an attached virtual display has this device path (UTF-8), else 0.
KVVD_API int kvvd_path_attached(const char* path);
// UTF-8 path into buffer (terminated when it fits); answers the path's length.
KVVD_API int kvvd_path(int id, char* buffer, int size);
// Reports held, oldest first (the last 4096).
KVVD_API int kvvd_report_count(int id);
// Copies report index into buffer; answers its full length.
KVVD_API int kvvd_report(int id, int index, unsigned char* buffer, int size);
KVVD_API long long kvvd_write_count(int id);
KVVD_API int kvvd_open_handles(int id);

// Faults.
// The next count write attempts fail with error; count < 0: all of them.
KVVD_API int kvvd_fail_writes(int id, unsigned error, long long count);
// Writes succeed but report this many bytes written (< 0: the full length).
KVVD_API int kvvd_short_writes(int id, int bytes);
KVVD_API int kvvd_refuse_open(int id, int write, int read);
KVVD_API int kvvd_fail_serial(int id);
KVVD_API int kvvd_fail_attributes(int id);
// Pads the device path to this many characters.
KVVD_API int kvvd_set_path_length(int id, int characters);
// Replaces the generated report descriptor.
KVVD_API int kvvd_set_descriptor(int id, const unsigned char* data, int size);
// Replaces the identity strings (UTF-8; null keeps the current one).
KVVD_API int kvvd_set_strings(int id, const char* manufacturer, const char* product_name,
                              const char* serial);
// The enumeration call at this list index succeeds but leaves this last-error code.
KVVD_API int kvvd_fault_enumerate(int index, unsigned error);
// The detail query at this list index fails with error; stage 0 is the size
// query, stage 1 the query for the path.
KVVD_API int kvvd_fault_detail(int index, int stage, unsigned error);
