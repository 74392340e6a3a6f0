// libFuzzer target over everything a run does with argument 1 before the
// socket exists: the fit check, the apostrophe substitution, the frame and
// the reply decision. Each result is compared with a plain model of the
// frame rules written out again here, and every accepted frame must pass the
// simulated device's validator.
//
// The input is the raw bytes of argument 1. An argv string ends at its
// first zero byte, so the argument is the input up to its first zero byte.
// The whole input, zero bytes included, also goes to the validator as a
// datagram. Inputs holding a zero byte are checked both ways but not kept
// in the corpus: as arguments they add nothing their first part does not.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"
#include "validate.h"

namespace {

// ---- The model -----------------------------------------------------------

constexpr std::size_t LONGEST_MESSAGE = 31;
constexpr std::size_t LONGEST_FRAME = 31;
constexpr std::size_t SUBSTITUTED_POSITIONS = 22;

struct Model {
  bool accepted;
  unsigned char message[64];  // after substitution
  std::size_t message_length;
  std::int32_t sum;
  unsigned char field[4];
  std::size_t field_length;
  unsigned char frame[64];
  std::size_t frame_length;
  bool reply;
};

int as_signed(unsigned char byte) { return byte >= 0x80 ? byte - 256 : byte; }

void model_field(std::int32_t sum, Model* m) {
  unsigned char bytes[4];
  std::size_t count;
  const std::uint32_t bits = static_cast<std::uint32_t>(sum);
  if (sum >= 65536) {
    bytes[0] = 0xFE;
    bytes[1] = (bits >> 16) & 0xFF;
    bytes[2] = (bits >> 8) & 0xFF;
    bytes[3] = bits & 0xFF;
    count = 4;
  } else if (sum >= 250) {
    bytes[0] = 0xFF;
    bytes[1] = (bits >> 8) & 0xFF;
    bytes[2] = bits & 0xFF;
    count = 3;
  } else {
    bytes[0] = bits & 0xFF;
    count = 1;
  }
  // The field ends at its first zero byte.
  m->field_length = 0;
  while (m->field_length < count && bytes[m->field_length] != 0) {
    m->field[m->field_length] = bytes[m->field_length];
    ++m->field_length;
  }
}

// What a run does with `argument` (its `length` bytes, no zero among them).
// Without `substitute`, the frame of a message taken as it is.
Model model(const unsigned char* argument, std::size_t length, bool substitute = true) {
  Model m{};
  if (length > LONGEST_MESSAGE) {
    m.accepted = false;
    return m;
  }
  m.message_length = length;
  for (std::size_t i = 0; i < length; ++i) {
    const bool apostrophe = substitute && argument[i] == '\'' && i < SUBSTITUTED_POSITIONS;
    m.message[i] = apostrophe ? '"' : argument[i];
  }
  // Summed: 0x01 and 0x04 of the header, the message, the end of text.
  m.sum = 0x01 + 0x04 + 0x0D;
  for (std::size_t i = 0; i < length; ++i) {
    m.sum += as_signed(m.message[i]);
  }
  model_field(m.sum, &m);

  std::size_t n = 0;
  m.frame[n++] = 0xF1;
  m.frame[n++] = 0x01;
  m.frame[n++] = 0x04;
  for (std::size_t i = 0; i < length; ++i) {
    m.frame[n++] = m.message[i];
  }
  m.frame[n++] = 0x0D;
  for (std::size_t i = 0; i < m.field_length; ++i) {
    m.frame[n++] = m.field[i];
  }
  m.frame[n++] = 0xF2;
  m.frame_length = n;
  m.accepted = n <= LONGEST_FRAME;

  bool at_sign = false;
  bool asterisk = false;
  for (std::size_t i = 0; i < n; ++i) {
    at_sign = at_sign || m.frame[i] == '@';
    asterisk = asterisk || m.frame[i] == '*';
  }
  m.reply = at_sign && !asterisk;
  return m;
}

// ---- Checking ------------------------------------------------------------

void dump(const char* label, const unsigned char* bytes, std::size_t length) {
  std::fprintf(stderr, "%s (%zu):", label, length);
  for (std::size_t i = 0; i < length; ++i) {
    std::fprintf(stderr, " %02X", bytes[i]);
  }
  std::fprintf(stderr, "\n");
}

[[noreturn]] void fault(const char* what, const Model& m, const unsigned char* frame) {
  std::fprintf(stderr, "PROPERTY BROKEN: %s\n", what);
  dump("argument after substitution (model)", m.message, m.message_length);
  std::fprintf(stderr, "model: accepted=%d S=%d reply=%d\n", m.accepted, static_cast<int>(m.sum),
               m.reply);
  dump("model frame", m.frame, m.frame_length);
  dump("frame area", frame, FRAME_CAPACITY);
  std::abort();
}

void check(bool holds, const char* what, const Model& m, const unsigned char* frame) {
  if (!holds) {
    fault(what, m, frame);
  }
}

bool all_zero(const unsigned char* bytes, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

void check_run(const unsigned char* data, std::size_t length) {
  // The argument as the program gets it: exactly `length` bytes and a
  // terminator, on the heap, so a read past the terminator is caught.
  char* argument = static_cast<char*>(std::malloc(length + 1));
  std::memcpy(argument, data, length);
  argument[length] = 0;

  const Model m = model(data, length);

  // Stale contents must not leak into either area.
  unsigned char message[MESSAGE_CAPACITY];
  unsigned char frame[FRAME_CAPACITY];
  std::memset(message, 0xA5, sizeof message);
  std::memset(frame, 0x5A, sizeof frame);

  bool built = false;
  bool accepted = copy_message(message, argument) != 0;
  if (!accepted) {
    check(length > LONGEST_MESSAGE, "copy_message refused a message that fits", m, frame);
    check(all_zero(message, 0, MESSAGE_CAPACITY), "refused message left the area filled", m, frame);
  } else {
    check(length <= LONGEST_MESSAGE, "copy_message took a message too long", m, frame);
    substitute_apostrophes(message);
    check(std::memcmp(message, m.message, length) == 0, "message differs after substitution", m,
          frame);
    check(all_zero(message, length, MESSAGE_CAPACITY), "message area not zero after the text", m,
          frame);
    accepted = build_frame(message, frame) != 0;
    built = true;
  }
  std::free(argument);

  check(accepted == m.accepted, "accepted or refused against the fit rule", m, frame);
  if (!accepted) {
    // A message refused at the copy never reaches build_frame.
    check(!built || all_zero(frame, 0, FRAME_CAPACITY), "refused frame left something to send", m,
          frame);
    return;
  }

  const std::size_t frame_length = bounded_length(frame, FRAME_CAPACITY);
  check(frame_length <= LONGEST_FRAME, "frame longer than 31 bytes", m, frame);
  check(all_zero(frame, frame_length, FRAME_CAPACITY), "frame area not zero after the frame", m,
        frame);
  check(std::memchr(frame, 0, frame_length) == nullptr, "zero byte inside the frame", m, frame);
  check(frame_length == m.frame_length, "frame length", m, frame);
  check(std::memcmp(frame, m.frame, m.frame_length) == 0, "frame bytes", m, frame);

  // The checksum field on its own: between end of text and trailer.
  const std::size_t field_at = 3 + m.message_length + 1;
  check(frame[field_at - 1] == 0x0D, "end of text where it belongs", m, frame);
  check(frame_length - 1 - field_at == m.field_length, "checksum field length", m, frame);
  check(std::memcmp(frame + field_at, m.field, m.field_length) == 0, "checksum field bytes", m,
        frame);
  check(checksum_sum(frame, field_at) == m.sum, "checksum sum", m, frame);

  check(expects_reply(frame) == m.reply, "reply decision", m, frame);

  FrameCheck device{};
  check(check_frame(frame, frame_length, &device), "the device's validator refused the frame", m,
        frame);
  check(device.message_length == m.message_length &&
            std::memcmp(device.message, m.message, m.message_length) == 0,
        "the device's validator found another message", m, frame);
  check(device.expects_reply == m.reply, "the device's validator decided the reply otherwise", m,
        frame);
}

// The device side: any datagram at all goes to the validator. Whatever it
// accepts must be exactly the frame the model builds from the message the
// validator found (before substitution, which the device cannot undo).
void check_datagram(const unsigned char* data, std::size_t length) {
  // Exactly `length` bytes on the heap, so an over-read is caught.
  auto* datagram = static_cast<unsigned char*>(std::malloc(length == 0 ? 1 : length));
  std::memcpy(datagram, data, length);
  FrameCheck device{};
  const bool well_formed = check_frame(datagram, length, &device);
  if (well_formed) {
    const Model m = model(device.message, device.message_length, false);
    unsigned char area[FRAME_CAPACITY] = {};
    std::memcpy(area, datagram, length < FRAME_CAPACITY ? length : FRAME_CAPACITY);
    check(std::memchr(datagram, 0, length) == nullptr,
          "the device's validator accepted a zero byte", m, area);
    check(m.accepted && length == m.frame_length && std::memcmp(datagram, m.frame, length) == 0,
          "the device's validator accepted a datagram that is not a frame", m, area);
    check(device.expects_reply == m.reply, "the device's validator decided the reply otherwise", m,
          area);
  }
  std::free(datagram);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  const void* zero = std::memchr(bytes, 0, size);
  const std::size_t length =
      zero == nullptr ? size : static_cast<const unsigned char*>(zero) - bytes;
  check_run(bytes, length);
  check_datagram(bytes, size);
  // Only the part before a zero byte is an argument: keep such inputs out
  // of the corpus.
  return zero == nullptr ? 0 : -1;
}
