#include "task/info_text.h"

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace chunkup {
namespace {

std::mutex g_lock;
// Never destroyed: hosts may read a block after static destructors ran.
auto* g_blocks = new std::map<std::string, std::unique_ptr<char[]>>;

const char* InternedBlock(const std::string& text, uint32_t capacity) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto& block = (*g_blocks)[text];
  if (!block) {
    block = std::make_unique<char[]>(static_cast<size_t>(capacity) + 1);  // zero-filled
    std::memcpy(block.get(), text.data(), text.size());
  }
  return block.get();
}

}  // namespace

size_t InternedTextCountForTesting() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_blocks->size();
}

void WriteSlotText(UploadTextSlot& slot, const std::string& text) {
  std::memset(&slot, 0, sizeof slot);
  if (text.empty()) return;
  const auto length = static_cast<uint32_t>(text.size());
  slot.length = length;
  slot.capacity = length | 15u;
  if (slot.capacity < 16) {
    std::memcpy(slot.inline_text, text.data(), length);
  } else {
    const char* block = InternedBlock(text, slot.capacity);
    std::memcpy(slot.inline_text, &block, sizeof block);
  }
}

int32_t StateForOutcome(const Outcome& outcome) {
  switch (outcome.kind) {
    case OutcomeKind::kOk:
    case OutcomeKind::kAlreadyHeld:
    case OutcomeKind::kCancelled:
      return UPLOAD_STATE_OK;
    case OutcomeKind::kTransport:
      return outcome.curlCode == CURLE_OPERATION_TIMEDOUT ? UPLOAD_STATE_TIMEOUT : UPLOAD_STATE_FAILED;
    case OutcomeKind::kChunkFailed:
      return UPLOAD_STATE_TRANSFER_FAILED;
    case OutcomeKind::kHttpStatus:
      return outcome.httpStatus >= 400 ? UPLOAD_STATE_REFUSED : UPLOAD_STATE_FAILED;
    case OutcomeKind::kUnusableReply:
    case OutcomeKind::kFileUnreadable:
      return UPLOAD_STATE_FAILED;
  }
  return UPLOAD_STATE_FAILED;
}

int ComposeUploadInfo(const InfoInputs& in, int32_t* lastPercent, UploadInfo* info) {
  const bool unreadable = in.finished && in.outcome.kind == OutcomeKind::kFileUnreadable;
  if (in.fileSize <= 0 && !unreadable) return -1;
  info->state = StateForOutcome(in.outcome);
  info->fileSize = static_cast<uint64_t>(std::max<int64_t>(in.fileSize, 0));
  if (in.fileSize <= 0) return 0;  // an unreadable file: the state is all there is to say

  const auto fileSize = static_cast<uint64_t>(in.fileSize);
  // A file the service already held counts as wholly sent.
  const uint64_t uploaded = in.outcome.kind == OutcomeKind::kAlreadyHeld
                                ? fileSize
                                : static_cast<uint64_t>(std::max<int64_t>(in.uploaded, 0));
  int32_t percent;
  if (in.finished || in.paused) {
    percent = *lastPercent;
  } else {
    // Divide first, then scale; keep the low 32 bits of the truncated value.
    const double share = static_cast<double>(uploaded) / static_cast<double>(fileSize) * 100.0;
    const double low = std::fmod(std::trunc(share), 4294967296.0);
    percent = static_cast<int32_t>(static_cast<uint32_t>(low));
    *lastPercent = percent;
  }
  if (static_cast<uint32_t>(percent) > 100) percent = 100;
  if (uploaded >= fileSize && !in.finished) percent = 99;  // all handed over, not done yet

  const uint64_t kib = std::min<uint64_t>(in.rate / 1024, INT32_MAX);
  info->speed = (in.cancelled || in.paused) ? 0 : static_cast<int32_t>(kib);
  info->percent = percent;

  if (!in.resultUrl.empty()) {
    // url holds 256 units; a longer URL is cut so its terminator survives.
    const size_t units = std::min<size_t>(in.resultUrl.size(), 255);
    std::memcpy(info->url, in.resultUrl.data(), units * sizeof(char16_t));
    info->url[units] = 0;
    info->percent = 100;
    info->speed = 0;
    WriteSlotText(info->urlText, std::string(in.resultUrlText));
  }
  if (!in.linkId.empty()) WriteSlotText(info->linkid, std::string(in.linkId));
  return 0;
}

}  // namespace chunkup
