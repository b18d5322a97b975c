// Fuzz target: the request decoders and the field codec, over one frame's
// payload. DecodeRequest, and every kind's decoder whatever the type code,
// must agree with the reference decoder; the extractors must read exactly.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Reference.h"
#include "protocol/Events.h"

namespace {

using parley::Event;
using parley::fuzz::Request;
namespace wire = parley::wire;

// The fields of a decoded request of kind E in wire order.
template <class E>
Request FieldsOf(const Event& ev) {
  const E& e = dynamic_cast<const E&>(ev);
  Request r;
  r.type = ev.GetType();
  if constexpr (requires { e.username; }) r.strings.emplace_back(e.username);
  if constexpr (requires { e.chatname; }) r.strings.emplace_back(e.chatname);
  if constexpr (requires { e.newchat; }) r.strings.emplace_back(e.newchat);
  if constexpr (requires { e.data; }) r.strings.emplace_back(e.data);
  if constexpr (requires { e.secret; }) r.strings.emplace_back(e.secret);
  if constexpr (requires { e.old_secret; }) r.strings.emplace_back(e.old_secret);
  if constexpr (requires { e.new_secret; }) r.strings.emplace_back(e.new_secret);
  if constexpr (requires { e.id; }) r.id = static_cast<uint64_t>(e.id);
  if constexpr (requires { e.after; }) r.id = static_cast<uint64_t>(e.after);
  if constexpr (requires { e.max; }) r.max = e.max;
  return r;
}

// Each kind's decoder and field reader, by type code.
struct Kind {
  std::shared_ptr<Event> (*decode)(const char*, size_t);
  Request (*fields)(const Event&);
};
template <class E>
constexpr Kind KindOf() {
  return {&E::GetFromBuf, &FieldsOf<E>};
}
constexpr Kind kKinds[] = {
    KindOf<parley::RegisterAccount>(), KindOf<parley::CreateChat>(), KindOf<parley::JoinChat>(),
    KindOf<parley::SendMsg>(),         KindOf<parley::EditMsg>(),    KindOf<parley::DeleteMsg>(),
    KindOf<parley::ForwardMsg>(),      KindOf<parley::GetChatMsg>(), KindOf<parley::GetChat>(),
    KindOf<parley::Subscribe>(),       KindOf<parley::Unsubscribe>(), KindOf<parley::History>(),
    KindOf<parley::RegisterWithSecret>(), KindOf<parley::LogIn>(),   KindOf<parley::ChangeSecret>(),
};
static_assert(std::size(kKinds) == wire::kLastEventId + 1);

void CheckAgainstReference(const std::shared_ptr<Event>& got, const std::optional<Request>& want,
                           size_t payload_size) {
  FUZZ_CHECK(static_cast<bool>(got) == want.has_value(), "decodes where the reference does not, or the reverse");
  if (!got) return;
  FUZZ_CHECK(got->GetType() <= wire::kLastEventId, "decoded request has no request kind");
  const Request fields = kKinds[got->GetType()].fields(*got);
  FUZZ_CHECK(fields.type == want->type, "wrong type stamped");
  FUZZ_CHECK(fields.strings == want->strings, "decoded strings differ from the reference");
  FUZZ_CHECK(fields.id == want->id && fields.max == want->max, "decoded integer differs from the reference");
  size_t total = 8;
  for (const std::string& s : fields.strings) {
    FUZZ_CHECK(s.size() <= payload_size, "a field is longer than the payload");
    total += 8 + s.size();
  }
  FUZZ_CHECK(total <= payload_size, "the fields add up to more than the payload");
}

void CheckCodec(std::string_view in) {
  const auto [str, str_used] = parley::ExtractString(in.data(), in.size());
  if (in.size() >= 8 && wire::LoadU64(in.data()) <= in.size() - 8) {
    FUZZ_CHECK(str_used == 8 + str.size() && str.data() == in.data() + 8, "ExtractString misread");
    FUZZ_CHECK(str.size() == wire::LoadU64(in.data()), "ExtractString length differs");
  } else {
    FUZZ_CHECK(str_used == parley::kDecodeFail && str.empty(), "ExtractString accepted a field that does not fit");
  }

  const auto [num, num_used] = parley::ExtractInt(in.data(), in.size());
  if (in.size() >= 8) {
    FUZZ_CHECK(num_used == 8 && num == wire::LoadU64(in.data()), "ExtractInt misread");
  } else {
    FUZZ_CHECK(num_used == parley::kDecodeFail, "ExtractInt accepted a short field");
  }

  const auto [arr, arr_used] = parley::ExtractArr(in.data(), in.size());
  if (in.size() >= 8 && wire::LoadU64(in.data()) <= (in.size() - 8) / 8) {
    FUZZ_CHECK(arr.size() == wire::LoadU64(in.data()) && arr_used == 8 * (arr.size() + 1), "ExtractArr misread");
    for (size_t i = 0; i < arr.size(); ++i)
      FUZZ_CHECK(arr[i] == wire::LoadU64(in.data() + 8 * (i + 1)), "ExtractArr element differs");
  } else {
    FUZZ_CHECK(arr_used == parley::kDecodeFail && arr.empty(), "ExtractArr accepted an array that does not fit");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer and the replay driver both hand over a buffer of exactly the input's size.
  const std::string_view payload(reinterpret_cast<const char*>(data), size);

  CheckAgainstReference(parley::DecodeRequest(payload.data(), payload.size()), parley::fuzz::ReferenceDecode(payload),
                        size);

  // Every decoder over the same body, whatever the code says.
  if (size >= 8) {
    const std::string_view body = payload.substr(8);
    for (uint64_t type = 0; type <= wire::kLastEventId; ++type) {
      std::shared_ptr<Event> got = kKinds[type].decode(body.data(), body.size());
      if (got) got->SetType(type);  // DecodeRequest stamps the type; here we do
      CheckAgainstReference(got, parley::fuzz::ReferenceDecodeBody(type, body), size);
    }
  }

  CheckCodec(payload);
  return 0;
}
