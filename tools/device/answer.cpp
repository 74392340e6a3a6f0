#include "answer.h"

#include <algorithm>
#include <cstring>

#include "frame/frame.h"
#include "show.h"

namespace {

constexpr unsigned char ACKNOWLEDGEMENT[] = {'O', 'K', ' '};

// The default reply: "OK " and the message, cut to the longest reply udpcmd
// takes; gives its length.
std::size_t acknowledgement(const FrameCheck& check, unsigned char* reply) {
  std::memcpy(reply, ACKNOWLEDGEMENT, sizeof ACKNOWLEDGEMENT);
  const std::size_t taken = std::min(check.message_length, REPLY_CAPACITY - sizeof ACKNOWLEDGEMENT);
  std::memcpy(reply + sizeof ACKNOWLEDGEMENT, check.message, taken);
  return sizeof ACKNOWLEDGEMENT + taken;
}

// Whether another device would answer the reply: only such replies can
// keep two devices answering each other (the loop guard counts them).
bool answerable(const unsigned char* reply, std::size_t length) {
  FrameCheck check;
  return check_frame(reply, length, &check) && check.expects_reply;
}

// Sends a reply and says so; a reply sent counts against the loop guard's
// limit and goes into the capture. Gives whether it was sent.
bool send_reply(Responder* responder, NetAddress to, std::uint32_t from_ip,
                const unsigned char* reply, std::size_t length, Line* line) {
  const Sockets& sockets = responder->sockets;
  if (!net_send(sockets.replier, reply, static_cast<int>(length), to, from_ip)) {
    const int code = net_last_error();
    char reason[ERROR_TEXT_CAPACITY];
    net_error_text(code, reason, sizeof reason);
    append_text(line, " | reply failed");
    append_reason(line, reason, code);
    return false;
  }
  count_reply(&responder->ledger, to, net_milliseconds(), answerable(reply, length));
  const NetAddress from = {from_ip != 0 ? from_ip : sockets.replying.ip, sockets.replying.port};
  capture_datagram(&responder->capture, from, to, reply, length);
  append_number(line, " | replied from port ", sockets.replying.port);
  append_number(line, " with ", length, " bytes:");
  append_hex(line, reply, length);
  append_text(line, " ");
  append_quoted(line, reply, length);
  return true;
}

bool send_rule_reply(Responder* responder, int rule, NetAddress to, std::uint32_t from_ip,
                     Line* line) {
  const Rule& chosen = responder->rules->rules[rule];
  return send_reply(responder, to, from_ip, responder->rules->bytes + chosen.reply_at,
                    chosen.reply_length, line);
}

// Puts the rule's reply in the queue, after every reply due no later;
// false when the queue is full.
bool delay_reply(Responder* responder, const Datagram& datagram, int rule) {
  if (responder->pending_count == PENDING_CAPACITY) {
    return false;
  }
  PendingReply pending{};
  pending.number = datagram.number;
  pending.to = datagram.path.from;
  pending.from_ip = datagram.path.local_ip;
  pending.due =
      net_milliseconds() + static_cast<std::uint32_t>(responder->rules->rules[rule].delay_ms);
  pending.rule = rule;
  PendingReply* const end = responder->pending + responder->pending_count++;
  PendingReply* const at =
      std::find_if(responder->pending, end, [&pending](const PendingReply& waiting) {
        return static_cast<std::int32_t>(waiting.due - pending.due) > 0;  // the clock may wrap
      });
  std::copy_backward(at, end, end + 1);
  *at = pending;
  return true;
}

// " | rule FILE:LINE", then what the rule does.
void answer_by_rule(Responder* responder, const Datagram& datagram, int rule, Line* line) {
  const Rule& chosen = responder->rules->rules[rule];
  append_all(line, {" | rule ", responder->options->rules_path});
  append_number(line, ":", chosen.line);
  if (!chosen.replies) {
    append_text(line, " | reply withheld (no-reply)");
  } else if (chosen.delay_ms == 0) {
    if (!send_rule_reply(responder, rule, datagram.path.from, datagram.path.local_ip, line)) {
      return;  // not sent: the sequence stays where it is
    }
  } else if (delay_reply(responder, datagram, rule)) {
    append_number(line, " | reply delayed ", static_cast<unsigned long>(chosen.delay_ms), " ms");
  } else {
    append_number(line, " | no reply: ", PENDING_CAPACITY, " delayed replies are waiting already");
    return;  // not answered: the sequence stays where it is
  }
  use_rule(responder->rules, rule);
}

// How long until `due`, from `now`; 0 when it is due.
long until(std::uint32_t due, std::uint32_t now) {
  const long left = static_cast<long>(static_cast<std::int32_t>(due - now));
  return left > 0 ? left : 0;
}

void send_pending(Responder* responder, const PendingReply& pending) {
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_number(&line, "#", static_cast<unsigned long>(pending.number), " delayed reply");
  const Rule& chosen = responder->rules->rules[pending.rule];
  const char* refusal =
      rate_refusal(&responder->ledger, pending.to, net_milliseconds(),
                   answerable(responder->rules->bytes + chosen.reply_at, chosen.reply_length));
  if (refusal != nullptr) {
    append_all(&line, {" | no reply: ", refusal});
  }
  if (refusal != nullptr ||
      !send_rule_reply(responder, pending.rule, pending.to, pending.from_ip, &line)) {
    give_back_rule(responder->rules, pending.rule);
  }
  print_line(stdout, &line);
}

}  // namespace

void answer(Responder* responder, const Datagram& datagram, const FrameCheck& check, Line* line) {
  const Rules* rules = responder->rules;
  const int rule = rules != nullptr ? rule_for(rules, check.message, check.message_length) : -1;
  const DeviceOptions& options = *responder->options;
  if (rule < 0 && options.reply_mode == ReplyMode::NONE) {
    append_text(line, " | reply withheld (--no-reply)");
    return;
  }
  // The reply, now or when its delay is over: the rule's, the staged one,
  // or "OK " and the message.
  unsigned char acknowledged[REPLY_CAPACITY];
  const unsigned char* reply = options.reply;
  std::size_t length = options.reply_length;
  if (rule >= 0) {
    reply = rules->bytes + rules->rules[rule].reply_at;
    length = rules->rules[rule].reply_length;
  } else if (options.reply_mode != ReplyMode::STAGED) {
    reply = acknowledged;
    length = acknowledgement(check, acknowledged);
  }
  const NetAddress from = datagram.path.from;
  const char* refusal =
      reply_refusal(from, responder->sockets.bound.port, responder->sockets.replying.port);
  if (refusal == nullptr) {
    refusal = rate_refusal(&responder->ledger, from, net_milliseconds(), answerable(reply, length));
  }
  if (refusal != nullptr) {
    append_all(line, {" | no reply: ", refusal});
  } else if (rule >= 0) {
    answer_by_rule(responder, datagram, rule, line);
  } else {
    (void)send_reply(responder, from, datagram.path.local_ip, reply, length, line);
  }
}

void send_due(Responder* responder, std::uint32_t now) {
  PendingReply* queue = responder->pending;
  while (responder->pending_count > 0 && until(queue[0].due, now) == 0) {
    const PendingReply pending = queue[0];
    std::copy(queue + 1, queue + responder->pending_count, queue);
    --responder->pending_count;
    send_pending(responder, pending);
  }
}

long next_due_in(const Responder* responder, std::uint32_t now) {
  return responder->pending_count > 0 ? until(responder->pending[0].due, now) : -1;
}
