// The result of one step of an upload, carried from the step that produced it
// up to the task, which turns it into the state the host sees in exactly one
// place (StateForOutcome in task/).
#pragma once

namespace chunkup {

enum class OutcomeKind {
  kOk,              // the step did its work (also: an upload still running)
  kAlreadyHeld,     // the service already holds the file: nothing to send
  kCancelled,       // the host cancelled before the step could finish
  kHttpStatus,      // the service answered with a status the step cannot use
  kTransport,       // the request failed in libcurl (see curlCode)
  kUnusableReply,   // a reply without a status line, or a body of the wrong shape
  kChunkFailed,     // a chunk could not be read from the file or did not go out whole
  kFileUnreadable,  // the file could not be opened or read (see osError)
};

struct Outcome {
  OutcomeKind kind = OutcomeKind::kOk;
  int httpStatus = 0;  // the status line's code, when there was one
  int curlCode = 0;    // libcurl's CURLcode for kTransport
  int osError = 0;     // the OS error code for kFileUnreadable and kChunkFailed

  bool ok() const { return kind == OutcomeKind::kOk; }

  static Outcome Ok() { return {}; }
  static Outcome Of(OutcomeKind kind) { return Outcome{kind}; }
  static Outcome Http(int status) { return Outcome{OutcomeKind::kHttpStatus, status}; }
  static Outcome Transport(int curlCode) { return Outcome{OutcomeKind::kTransport, 0, curlCode}; }
  static Outcome File(OutcomeKind kind, int osError) { return Outcome{kind, 0, 0, osError}; }
};

}  // namespace chunkup
