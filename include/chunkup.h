/*
 * chunkup: upload one local file per call to a de-duplicating file service.
 *
 * Conventions
 *
 * 1. Five functions make the whole interface. Each returns 0 on success and -1
 *    when an argument is rejected (a null pointer, a task identifier of 0).
 *    An empty path is not an error: UploadFile returns 0 at once and writes no
 *    identifier. What happens to an upload itself (missing file, refusal by
 *    the service, a time-out, a cancel) is never a return value: it is reported
 *    through the `state` field of UploadInfo.
 *
 * 2. UploadFile blocks its calling thread until the upload and the completion
 *    report have ended. All other functions may be called from any thread at
 *    any time, also while an UploadFile call blocks, and return at once.
 *
 * 3. Task identifiers count up from 1 and are never reused in the life of the
 *    process; 0 is never an identifier. UploadFile writes *taskId as soon as
 *    the task is registered, before the upload starts, so another thread can
 *    follow and steer it while UploadFile blocks; it writes it again on
 *    return. A second UploadFile for a path whose task is still known hands
 *    back that task's identifier at once. To upload the same path again, cancel
 *    the old task first (a finished task then makes way, also one whose file
 *    was missing). Once 4,294,967,295 identifiers have been issued, UploadFile
 *    refuses new tasks with -1.
 *
 * 4. Paths are UTF-16 code units on every platform (chunkup_char16: wchar_t on
 *    Windows, char16_t elsewhere), so UploadInfo is the same 592 bytes
 *    everywhere. On Linux the library treats narrow text as UTF-8.
 *
 * 5. The caller owns every UploadInfo record. Texts that do not fit inline in a
 *    string slot live in blocks owned by the library; they stay valid for the
 *    life of the process and must not be freed. Use chunkup_slot_text() to read
 *    a slot.
 *
 * 6. The library writes no log and shows no message.
 *
 * 7. Files: only regular files are read. A path where nothing exists leaves
 *    the task at UPLOAD_STATE_NONE with no request sent. A path that names a
 *    directory, FIFO, socket or device, or a file that cannot be opened, ends
 *    the task at once in UPLOAD_STATE_FAILED (fileSize 0), without blocking
 *    and with no request sent.
 *
 * 8. Network: the library only ever speaks http and https, and follows no
 *    redirect. The service may hand out chunk addresses on other hosts than
 *    its own (storage hosts), but a chunk address of any other scheme, or
 *    without one, fails that chunk's attempts without a request and without
 *    touching any file.
 */
#ifndef CHUNKUP_H_
#define CHUNKUP_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(_WIN32)
typedef wchar_t chunkup_char16;
#elif defined(__cplusplus)
typedef char16_t chunkup_char16;
#else
#include <uchar.h>
typedef char16_t chunkup_char16;
#endif

/* Calling convention of the five functions: __stdcall on 32-bit Windows. */
#if defined(_WIN32) && defined(_M_IX86) || defined(_WIN32) && defined(__i386__)
#define CHUNKUP_CALL __stdcall
#else
#define CHUNKUP_CALL
#endif

#if defined(_WIN32)
#define CHUNKUP_EXPORT
#elif defined(CHUNKUP_BUILDING_LIBRARY)
#define CHUNKUP_EXPORT __attribute__((visibility("default")))
#else
#define CHUNKUP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
  UPLOAD_STATE_NONE = 0,            /* no task, its file is missing, or its size is not known yet or is 0 */
  UPLOAD_STATE_OK = 1,              /* running, done, cancelled, or the service already held the file */
  UPLOAD_STATE_TIMEOUT = 2,         /* a request timed out */
  UPLOAD_STATE_TRANSFER_FAILED = 3, /* a chunk could not be read, or was not taken whole, on every attempt */
  UPLOAD_STATE_REFUSED = 4,         /* the service answered with an HTTP error status */
  UPLOAD_STATE_FAILED = 5           /* the file could not be read, no connection, or any other failure */
};

/*
 * One narrow text. Capacity below 16: the text and its terminating zero lie in
 * `inline_text`. Otherwise the first pointer-sized bytes of `inline_text` hold
 * the address of a block with the text and its terminating zero.
 */
typedef struct UploadTextSlot {
  uint32_t reserved;
  char inline_text[16];
  uint32_t length;   /* bytes, terminator not counted */
  uint32_t capacity; /* 0 for an empty slot, else length | 15 */
} UploadTextSlot;

typedef struct UploadInfo {
  int32_t state;             /* UPLOAD_STATE_* */
  int32_t speed;             /* KiB per second; 0 while paused, cancelled or done */
  int32_t percent;           /* 0..100; 99 until the upload has finished */
  int32_t reserved;          /* always 0 */
  uint64_t fileSize;         /* bytes */
  chunkup_char16 url[256];   /* result URL, zero-terminated UTF-16 */
  UploadTextSlot urlText;    /* result URL as the service sent it */
  UploadTextSlot linkid;     /* link id when the service already held the file */
} UploadInfo;

#if defined(__cplusplus)
#define CHUNKUP_STATIC_ASSERT static_assert
#else
#define CHUNKUP_STATIC_ASSERT _Static_assert
#endif
CHUNKUP_STATIC_ASSERT(sizeof(chunkup_char16) == 2, "url holds 16-bit code units");
CHUNKUP_STATIC_ASSERT(sizeof(UploadTextSlot) == 28, "string slot is 28 bytes");
CHUNKUP_STATIC_ASSERT(offsetof(UploadTextSlot, inline_text) == 4, "slot text at 4");
CHUNKUP_STATIC_ASSERT(offsetof(UploadTextSlot, length) == 20, "slot length at 20");
CHUNKUP_STATIC_ASSERT(offsetof(UploadTextSlot, capacity) == 24, "slot capacity at 24");
CHUNKUP_STATIC_ASSERT(offsetof(UploadInfo, state) == 0, "state at 0");
CHUNKUP_STATIC_ASSERT(offsetof(UploadInfo, speed) == 4, "speed at 4");
CHUNKUP_STATIC_ASSERT(offsetof(UploadInfo, percent) == 8, "percent at 8");
CHUNKUP_STATIC_ASSERT(offsetof(UploadInfo, reserved) == 12, "reserved at 12");
CHUNKUP_STATIC_ASSERT(offsetof(UploadInfo, fileSize) == 16, "fileSize at 16");
CHUNKUP_STATIC_ASSERT(offsetof(UploadInfo, url) == 24, "url at 24");
CHUNKUP_STATIC_ASSERT(offsetof(UploadInfo, urlText) == 536, "urlText at 536");
CHUNKUP_STATIC_ASSERT(offsetof(UploadInfo, linkid) == 564, "linkid at 564");
CHUNKUP_STATIC_ASSERT(sizeof(UploadInfo) == 592, "UploadInfo is 592 bytes");

/* Uploads the file at `path`; blocks until done. Writes the task id to *taskId
   when the task is registered and again on return. */
CHUNKUP_EXPORT int32_t CHUNKUP_CALL UploadFile(const chunkup_char16* path, uint32_t* taskId, int32_t option);
/* Zeroes *info and fills it from the task; an unknown id leaves it all zero. */
CHUNKUP_EXPORT int32_t CHUNKUP_CALL GetUploadInfo(uint32_t taskId, UploadInfo* info);
/* Stops the task at its next check; it is not started again. */
CHUNKUP_EXPORT int32_t CHUNKUP_CALL CancelUpload(uint32_t taskId);
/* Holds the task after the chunk in flight. */
CHUNKUP_EXPORT int32_t CHUNKUP_CALL PauseUpload(uint32_t taskId);
/* Lets a paused task go on; does not undo a cancel. */
CHUNKUP_EXPORT int32_t CHUNKUP_CALL RestartUpload(uint32_t taskId);

/* The text of a slot: never null; "" for an empty slot. */
static inline const char* chunkup_slot_text(const UploadTextSlot* slot) {
  const char* block;
  if (slot->capacity < 16) return slot->inline_text;
  memcpy(&block, slot->inline_text, sizeof block);
  return block ? block : "";
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* CHUNKUP_H_ */
