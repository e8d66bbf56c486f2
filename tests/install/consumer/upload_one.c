/* upload_one FILE: uploads FILE with libchunkup and prints the result URL.
 * Exit status 0 with a URL, 1 without one, 2 for a usage error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chunkup.h>

/* UTF-8 to UTF-16; enough for the test's ASCII paths, and exact for any
 * well-formed input. Returns 0 when the path does not fit or is ill-formed. */
static int to_utf16(const char* in, chunkup_char16* out, size_t room) {
  size_t n = 0;
  const unsigned char* p = (const unsigned char*)in;
  while (*p) {
    unsigned long code;
    int extra;
    if (*p < 0x80) code = *p, extra = 0;
    else if ((*p & 0xE0) == 0xC0) code = *p & 0x1F, extra = 1;
    else if ((*p & 0xF0) == 0xE0) code = *p & 0x0F, extra = 2;
    else if ((*p & 0xF8) == 0xF0) code = *p & 0x07, extra = 3;
    else return 0;
    ++p;
    for (; extra > 0; --extra, ++p) {
      if ((*p & 0xC0) != 0x80) return 0;
      code = (code << 6) | (*p & 0x3F);
    }
    if (code >= 0x10000) {
      if (n + 2 >= room) return 0;
      code -= 0x10000;
      out[n++] = (chunkup_char16)(0xD800 + (code >> 10));
      out[n++] = (chunkup_char16)(0xDC00 + (code & 0x3FF));
    } else {
      if (n + 1 >= room) return 0;
      out[n++] = (chunkup_char16)code;
    }
  }
  out[n] = 0;
  return 1;
}

int main(int argc, char** argv) {
  static chunkup_char16 path[4096];
  uint32_t id = 0;
  UploadInfo info;
  if (argc != 2 || !to_utf16(argv[1], path, sizeof path / sizeof path[0])) {
    fprintf(stderr, "usage: upload_one FILE\n");
    return 2;
  }
  if (UploadFile(path, &id, 0) != 0 || GetUploadInfo(id, &info) != 0) return 1;
  if (info.state != UPLOAD_STATE_OK || info.urlText.length == 0) {
    fprintf(stderr, "upload_one: state %d, no result URL\n", (int)info.state);
    return 1;
  }
  printf("%s\n", chunkup_slot_text(&info.urlText));
  return 0;
}
