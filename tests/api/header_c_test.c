/* Compiled as C11 with -Wall -Wextra -pedantic -Werror and linked against the
 * shared library: the header must serve C hosts, and every argument case of
 * the five functions behaves as documented. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "chunkup.h"

static int failures = 0;
#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

static int all_zero(const UploadInfo* info) {
  const unsigned char* p = (const unsigned char*)info;
  size_t i;
  for (i = 0; i < sizeof *info; ++i)
    if (p[i]) return 0;
  return 1;
}

int main(void) {
  static const chunkup_char16 empty[] = u"";
  static const chunkup_char16 missing[] = u"/nonexistent-chunkup-dir/missing file.bin";
  uint32_t id = 777;
  uint32_t missingId = 0;
  uint32_t again = 0;
  UploadInfo info;

  CHECK(sizeof(UploadInfo) == 592);
  CHECK(offsetof(UploadInfo, url) == 24);
  CHECK(offsetof(UploadInfo, linkid) == 564);

  CHECK(UploadFile(NULL, &id, 0) == -1);
  CHECK(UploadFile(missing, NULL, 0) == -1);
  CHECK(UploadFile(empty, &id, 0) == 0);
  CHECK(id == 777); /* an empty path registers nothing and writes nothing */

  CHECK(UploadFile(missing, &missingId, 0) == 0);
  CHECK(missingId != 0);
  CHECK(UploadFile(missing, &again, 5) == 0);
  CHECK(again == missingId);
  memset(&info, 0x5A, sizeof info);
  CHECK(GetUploadInfo(missingId, &info) == 0);
  CHECK(all_zero(&info));

  CHECK(GetUploadInfo(0, &info) == -1);
  CHECK(GetUploadInfo(missingId, NULL) == -1);
  memset(&info, 0x5A, sizeof info);
  CHECK(GetUploadInfo(missingId + 1000, &info) == 0);
  CHECK(all_zero(&info));

  CHECK(CancelUpload(0) == -1);
  CHECK(PauseUpload(0) == -1);
  CHECK(RestartUpload(0) == -1);
  CHECK(CancelUpload(missingId + 1000) == 0);
  CHECK(PauseUpload(missingId + 1000) == 0);
  CHECK(RestartUpload(missingId + 1000) == 0);
  CHECK(PauseUpload(missingId) == 0);
  CHECK(RestartUpload(missingId) == 0);
  CHECK(CancelUpload(missingId) == 0);
  CHECK(UploadFile(missing, &again, 0) == 0);
  CHECK(again != missingId); /* a missing file's task has ended: cancelled, it makes way */

  {
    UploadTextSlot slot;
    memset(&slot, 0, sizeof slot);
    CHECK(strcmp(chunkup_slot_text(&slot), "") == 0);
  }

  if (failures) return 1;
  printf("1 passed, 0 failed\n");
  return 0;
}
