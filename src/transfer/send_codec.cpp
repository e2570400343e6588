#include "transfer/send_codec.h"

#include <cstring>

#include "port/format.h"
#include "port/texts.h"
#include "protocol/ext_text.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "transfer/session.h"
#include "transfer/transfer_meter.h"

namespace tovrin {
namespace {

// A classic text message: the header, then the text and its NUL.
int BuildClassicText(char* out, int32_t type, int32_t value, const std::string& text) {
  std::memcpy(out + HEADER_SIZE, text.c_str(), text.size() + 1);
  const auto length = static_cast<int32_t>(text.size() + 1);
  StoreHeader(FrameHeader{type, 0, value, length}, out);
  return HEADER_SIZE + length;
}

class ClassicSendCodec final : public SendCodec {
 public:
  explicit ClassicSendCodec(Session& s) : s_(s) {}

  int window() const override { return 1; }
  bool announces_at_header() const override { return true; }
  bool announces_queue() const override { return false; }
  bool verifies() const override { return false; }
  int chunk_size() const override { return CHUNK_SIZE; }

  bool Sendable(const std::string& item) const override {
    const std::optional<std::string> wire_name = LocalToWireName(item);
    return wire_name && wire_name->size() < static_cast<size_t>(MAX_TEXT);
  }
  // Sizes on the wire are signed 32-bit: never offer a wrong size.
  int64_t max_size() const override { return INT32_MAX; }

  int BuildFolder(char* out, const std::string& dir) override {
    return BuildClassicText(out, MSG_FOLDER, 0, LocalToWireFolder(dir));
  }

  int BuildOffer(char* out, const Outgoing& f) override {
    s_.reply_handle.store(REPLY_PENDING);
    return BuildClassicText(out, MSG_FILE_OFFER, static_cast<int32_t>(f.size),
                            *LocalToWireName(f.entry.item));
  }

  const char* TakeReply(const PeerLink::Answer& answer, Outgoing* f, bool& accepted) override {
    if (answer.type != MSG_OFFER_REPLY || f == nullptr) return nullptr;  // answers no offer
    s_.reply_size.store(answer.value);
    s_.reply_handle.store(answer.id);
    f->handle = s_.reply_handle.load();
    f->held = s_.reply_size.load();
    accepted = f->handle >= 0;
    return nullptr;
  }

  // A refused file is closed as well, with the negative handle.
  int BuildRefused(char* out, const Outgoing& f) override {
    StoreHeader(FrameHeader{MSG_FILE_CLOSE, f.handle, 0, 0}, out);
    return HEADER_SIZE;
  }

  // Resume one byte before what the peer holds: its last byte is sent again.
  StartPlan Plan(const Outgoing& f, bool) const override {
    StartPlan plan;
    plan.exists = f.size <= f.held;
    plan.resumed = f.held > 0;
    if (plan.resumed) plan.offset = f.held - 1;
    return plan;
  }
  std::string SendingLine(const Outgoing& f) const override {
    return FormatLine(text::SENDING, f.entry.item.c_str(), static_cast<int>(f.size));
  }
  std::string ResumingLine(const Outgoing& f) const override {
    return FormatLine(text::RESUMING, static_cast<int>(f.held));
  }
  void BeginMeter(TransferMeter& meter, const Outgoing& f, const StartPlan& plan) override {
    if (plan.exists) return;
    meter.BeginFile(f.size);
    if (plan.resumed) meter.SetPosition(plan.offset);
  }
  int BuildStart(char* out, const Outgoing& f, const StartPlan& plan) override {
    if (!plan.resumed || plan.exists) return 0;
    StoreHeader(FrameHeader{MSG_FILE_SEEK, f.handle, static_cast<int32_t>(plan.offset), 0}, out);
    return HEADER_SIZE;
  }
  void StoreDataHeader(char* out, const Outgoing& f, int count) override {
    StoreHeader(FrameHeader{MSG_FILE_DATA, f.handle, 0, count}, out);
  }
  int BuildEnd(char* out, const Outgoing& f, int64_t, const Digest&) override {
    StoreHeader(FrameHeader{MSG_FILE_CLOSE, f.handle, 0, 0}, out);
    return HEADER_SIZE;
  }
  int max_small_message() const override { return HEADER_SIZE + MAX_TEXT; }

 private:
  Session& s_;
};

class ExtendedSendCodec final : public SendCodec {
 public:
  int window() const override { return OFFER_WINDOW; }
  bool announces_at_header() const override { return false; }
  bool announces_queue() const override { return true; }
  bool verifies() const override { return true; }
  int chunk_size() const override { return EXT_CHUNK_SIZE; }

  // Never sent under another name: the peer takes exactly this one or nothing.
  bool Sendable(const std::string& item) const override { return IsSendableExtName(item); }
  int64_t max_size() const override { return INT64_MAX; }

  int BuildFolder(char* out, const std::string& dir) override {
    return BuildText(out, MSG_EXT_FOLDER, LocalToExtFolder(dir));
  }
  int BuildOffer(char* out, const Outgoing& f) override {
    const ExtOffer offer{f.size, f.mtime_ns, f.mode, f.entry.item};
    return tovrin::BuildOffer(out, f.id, f.resend ? OFFER_FLAG_RESEND : 0, offer);
  }

  // Replies come one per offer, in the order of the offers.
  const char* TakeReply(const PeerLink::Answer& answer, Outgoing* f, bool& accepted) override {
    if (f == nullptr || f->id != answer.id) return text::WHY_ORDER;
    if (answer.value != OFFER_ACCEPTED && answer.value != OFFER_REFUSED) return text::WHY_LAYOUT;
    accepted = answer.value == OFFER_ACCEPTED;
    f->held = answer.reply.held;
    f->prefix = answer.reply.prefix;
    return nullptr;
  }
  int BuildRefused(char*, const Outgoing&) override { return 0; }

  // Equal to the source's: on from there; otherwise the whole file again (the peer
  // truncates).
  StartPlan Plan(const Outgoing& f, bool prefix_matches) const override {
    StartPlan plan;
    plan.restart = f.held > f.size || (f.held > 0 && !prefix_matches);
    if (!plan.restart) plan.offset = f.held;
    plan.resumed = plan.offset > 0;
    plan.exists = plan.offset == f.size && !plan.restart;
    return plan;
  }
  std::string SendingLine(const Outgoing& f) const override {
    return FormatLine(text::SENDING_LONG, f.entry.item.c_str(), static_cast<long long>(f.size));
  }
  std::string ResumingLine(const Outgoing& f) const override {
    return FormatLine(text::RESUMING_LONG, static_cast<long long>(f.held));
  }
  void BeginMeter(TransferMeter& meter, const Outgoing& f, const StartPlan& plan) override {
    meter.BeginFile(f.size);
    meter.ResumeFrom(plan.offset);
  }
  int BuildStart(char* out, const Outgoing& f, const StartPlan& plan) override {
    return tovrin::BuildStart(out, f.id, plan.offset);
  }
  void StoreDataHeader(char* out, const Outgoing& f, int count) override {
    StoreHeader(FrameHeader{MSG_EXT_DATA, f.id, 0, count}, out);
  }
  int BuildEnd(char* out, const Outgoing& f, int64_t total, const Digest& digest) override {
    const ExtEnd end{total, f.abandoned ? Digest{} : digest};
    return tovrin::BuildEnd(out, f.id, f.abandoned ? END_ABANDONED : END_COMPLETE, end);
  }
  int max_small_message() const override { return HEADER_SIZE + EXT_OFFER_FIXED + MAX_EXT_TEXT; }
};

}  // namespace

std::unique_ptr<SendCodec> MakeClassicSendCodec(Session& s) {
  return std::make_unique<ClassicSendCodec>(s);
}

std::unique_ptr<SendCodec> MakeExtendedSendCodec() { return std::make_unique<ExtendedSendCodec>(); }

}  // namespace tovrin
