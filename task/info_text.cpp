#include "task/info_text.h"

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

}  // namespace chunkup
