// STUB: replaced by the inputs.
#include "digest/md5.h"
const char* md5_status_text(std::uint32_t) { return "md5:000:Invalid Message Code."; }
int md5_stream_digest(std::FILE*, Md5Digest*) { return 3; }
int md5_file_digest(const char*, Md5Digest*) { return 2; }
int md5_verify_file(const char*, const char*) { return 7; }
void md5_memory_digest(const void*, std::uint32_t, Md5Digest*) {}
