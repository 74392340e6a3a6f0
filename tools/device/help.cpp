#include "help.h"

#include <cstdio>

#include "show.h"

namespace {

constexpr std::size_t HELP_LINE_CAPACITY = 128;

const char* const HELP[] = {
    "usage: udpcmd-device [OPTIONS]",
    "       udpcmd-device /?       (or -h, or --help: this text)",
    "",
    "A stand-in for the device that udpcmd sends its commands to, for trying",
    "commands and batch files without it. It listens on UDP port 2639, prints",
    "one line for each datagram that arrives, and answers each command that",
    "awaits a reply, as the device would. Ctrl+C stops it.",
    "",
    "Never run it on the network where the real device is. To rehearse, either",
    "  - on a second PC that has the address 192.168.0.254, joined to the first",
    "    by a network of their own (its firewall must let UDP port 2639 in):",
    "      udpcmd-device",
    "  - or on the PC itself, cut off from the device's network, with a",
    "    loopback adapter that has the address 192.168.0.254:",
    "      udpcmd-device --address 192.168.0.254",
    "and run udpcmd, or the batch file, in another window. Every command that",
    "awaits a reply gets \"OK \" and its own text back. To answer as the device",
    "would in a procedure, and keep a capture of the session for Wireshark:",
    "      udpcmd-device --rules procedure-rules.txt --pcap session.pcap",
    "(rules files are described below; the README has the details).",
    "",
    "Each line says where the datagram came from, its bytes in hex, its text,",
    "whether it is a well-formed command frame (header F1 01 04, message, end",
    "of text 0D, checksum field, trailer F2) or what is wrong with it, and what",
    "was done about a reply. A reply goes to the sender's address and port. It",
    "never replies to a source using one of its own ports (at any address),",
    "port 0, 0.0.0.0, 255.255.255.255 or a multicast address, nor more than 20",
    "times within one second to one source address and port: the datagram's",
    "line says why.",
    "",
    "  --address A.B.C.D  address to listen on: four numbers from 0 to 255,",
    "                     without leading zeros (default 0.0.0.0, every address)",
    "  --port N           UDP port to listen on (default 2639; 0 takes any free",
    "                     port)",
    "  --reply-text TEXT  reply with TEXT (up to 1024 bytes) instead of the",
    "                     default: \"OK \" and the command's message, cut to 32",
    "                     bytes in all",
    "  --reply-hex HEX    reply with these bytes: pairs of hex digits, spaces",
    "                     between pairs allowed; \"\" stages an empty datagram; up",
    "                     to 1024 bytes, so an oversize reply or one with a zero",
    "                     byte inside can be staged",
    "  --no-reply         never reply: udpcmd is left waiting",
    "  --reply-port N     send replies from a second socket bound to port N of",
    "                     the same address (0 takes any free port)",
    "  --count N          exit after N datagrams (1 to 1000000000)",
    "  --idle SECONDS     exit when no datagram has come for SECONDS (1 to 86400)",
    "  --rules FILE       answer as the rules in FILE say (below); a command that",
    "                     matches none gets the reply the other options give",
    "  --pcap FILE        write every datagram received and every reply sent to",
    "                     FILE, a capture that Wireshark and tshark read",
    "  --help, -h, /?     show this text and exit",
    "  --version          show \"udpcmd-device VERSION\" and exit",
    "",
    "A value follows its option as the next argument or after \"=\" (--port=2640).",
    "Names may be shortened while they stay unambiguous (--no for --no-reply).",
    "Each option may be given only once, and only one of --reply-text,",
    "--reply-hex and --no-reply: a repeated option is refused, like an unknown",
    "one or an argument that is not an option.",
    "",
    "A rules file has one rule a line (LF or CR LF line ends), for instance:",
    "  # comment lines start with '#'; blank lines are ignored",
    "  @STATUS => reply RUNNING",
    "  @STATUS => reply STOPPED",
    "  SET * => reply OK",
    "  @SLOW => delay 1500 reply DONE",
    "  @RAW => reply-hex 4F 4B 00 31",
    "  @HANG => no-reply",
    "PATTERN => ACTION: PATTERN, without the spaces around it, is compared byte",
    "for byte with the command's message as sent (apostrophes already replaced);",
    "a final * matches every message beginning with what precedes it. The first",
    "PATTERN in the file that matches decides. Rules with the same PATTERN answer",
    "in turn, the last one from then on. reply TEXT sends TEXT (to the line's",
    "end, up to 1024 bytes; reply alone, an empty datagram), reply-hex HEX as",
    "--reply-hex, no-reply nothing; delay MS (0 to 60000) before reply or",
    "reply-hex waits that long while the device goes on receiving. The",
    "datagram's line names the rule as FILE:LINE; a delayed reply gets a line",
    "of its own when it is sent: \"#N delayed reply | ...\".",
    "",
    "While it runs, standard output holds the datagrams' lines and nothing else.",
    "Standard error has the status lines, once it is ready",
    "  udpcmd-device listening on ADDRESS:PORT[, replying from port N]",
    "and when --idle ends it",
    "  udpcmd-device: idle time over, exiting",
    "and the errors, each on one line:",
    "  udpcmd-device: WHAT: REASON (error CODE)",
    "  udpcmd-device: WHAT (see --help)           for a bad option",
    "  udpcmd-device: FILE:LINE: REASON           for a bad rules file",
    "",
    "Exit status: 0 when --count or --idle ends it, and after its help or",
    "version; 1 when a socket cannot be set up or receiving keeps failing; 2 for",
    "a bad option, or a rules or capture file that cannot be used. Otherwise it",
    "runs until Ctrl+C stops it; delayed replies are still sent before --count",
    "or --idle ends it.",
};

}  // namespace

void print_help() {
  for (const char* text : HELP) {
    char area[HELP_LINE_CAPACITY];
    Line line = line_in(area, sizeof area);
    append_text(&line, text);
    print_line(stdout, &line);
  }
}
