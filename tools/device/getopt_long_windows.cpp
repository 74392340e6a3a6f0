// getopt_long for the Windows build of the device, taking the place of
// mingw-w64's (libmingwex getopt.o). That one is compiled for the Pentium
// Pro and uses CMOV, which a Pentium-class processor does not have; this
// object defines every name getopt.o does that the device uses, so the
// linker never takes getopt.o. It does what glibc's getopt_long does for
// the device's way of calling it: no short options, an option string that
// begins "+:" (stop at the first argument that is not an option, ':' for a
// missing value, print nothing), long options with no_argument or
// required_argument and a null flag, names shortened while unambiguous,
// "--" ending the options, and optind = 0 starting afresh.
#include <getopt.h>

#include <cstring>

// getopt's interface is these four globals.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
char* optarg = nullptr;
int optind = 1;
int opterr = 1;
int optopt = '?';
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

namespace {

// The option `name` (up to `length` characters) names: the one it spells
// in full, or else the only one it begins; nullptr when none or several.
const option* find(const option* options, const char* name, std::size_t length) {
  const option* found = nullptr;
  int candidates = 0;
  for (const option* o = options; o->name != nullptr; ++o) {
    if (std::strncmp(o->name, name, length) != 0) {
      continue;
    }
    if (std::strlen(o->name) == length) {
      return o;
    }
    found = o;
    ++candidates;
  }
  return candidates == 1 ? found : nullptr;
}

// argv[optind] is "--name" or "--name=value"; moves past it (and past a
// value given as the next argument).
int take_long(int argc, char* const* argv, const option* options, int* index) {
  char* name = argv[optind++] + 2;
  char* equals = std::strchr(name, '=');
  const std::size_t length =
      equals != nullptr ? static_cast<std::size_t>(equals - name) : std::strlen(name);
  const option* o = find(options, name, length);
  optarg = nullptr;
  optopt = o != nullptr ? o->val : 0;
  if (o == nullptr || (equals != nullptr && o->has_arg == no_argument)) {
    return '?';
  }
  if (o->has_arg == required_argument) {
    if (equals != nullptr) {
      optarg = equals + 1;
    } else if (optind < argc) {
      optarg = argv[optind++];
    } else {
      return ':';
    }
  }
  if (index != nullptr) {
    *index = static_cast<int>(o - options);
  }
  return o->val;
}

}  // namespace

// The parameters are named as in mingw-w64's header, not glibc's.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int getopt_long(int nargc, char* const* nargv, const char* /*options: "+:"*/,
                const option* long_options, int* idx) {
  if (optind == 0) {
    optind = 1;
  }
  if (optind >= nargc) {
    return -1;
  }
  const char* argument = nargv[optind];
  if (std::strcmp(argument, "--") == 0) {
    ++optind;
    return -1;
  }
  if (argument[0] != '-' || argument[1] == 0) {
    return -1;  // not an option: the options end here
  }
  if (argument[1] != '-') {
    optopt = static_cast<unsigned char>(argument[1]);  // no short options at all
    ++optind;
    return '?';
  }
  return take_long(nargc, nargv, long_options, idx);
}
