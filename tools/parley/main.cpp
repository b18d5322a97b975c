// parley: command-line client of the Parley chat server.
//   parley [--host H] [--port P] [--tls [--cacert FILE | --insecure]] [--json] [--user U [--secret-file F]] COMMAND [ARGS]
// See `parley --help` and docs/client.md.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <parley/Version.h>

#include "Cli.h"
#include "Shell.h"
#include "Text.h"

using namespace parley::cli;

namespace {

int Usage(const std::string& why) { return Fail(kExitUsage, why + " (try 'parley --help')"); }

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  size_t i = 0;
  for (; i < args.size() && args[i].starts_with("-"); ++i) {
    // "--name value" or "--name=value".
    const size_t eq = args[i].starts_with("--") ? args[i].find('=') : std::string::npos;
    const std::string a = args[i].substr(0, eq);
    std::optional<std::string> inline_value;
    if (eq != std::string::npos) inline_value = args[i].substr(eq + 1);
    if (a == "--help" || a == "-h" || a == "--version" || a == "--json" || a == "--tls" || a == "--insecure" ||
        a == "--") {
      if (inline_value) return Usage(a + " takes no value");
      if (a == "--") {
        ++i;
        break;
      }
      if (a == "--help" || a == "-h") {
        PrintUsage(stdout, false);
        return kExitOk;
      }
      if (a == "--version") {
        std::printf("parley %s\n", PARLEY_VERSION);
        return kExitOk;
      }
      if (a == "--json") SetJsonErrors(options.json = true);
      else if (a == "--tls") options.tls.enabled = true;
      else options.tls.verify = false;
      continue;
    }
    if (a == "--secret" || a == "--password")
      return Usage("a secret is not taken from the command line, where other users of the machine can read it: "
                   "use --secret-file FILE or PARLEY_SECRET");
    static constexpr std::string_view kWithValue[] = {"--host", "--port", "--cacert", "--user", "--secret-file",
                                                      "--new-secret-file"};
    if (std::find(std::begin(kWithValue), std::end(kWithValue), a) == std::end(kWithValue))
      return Usage("unknown option '" + args[i] + "'");
    if (!inline_value && i + 1 == args.size()) return Usage(a + " needs a value");
    const std::string value = inline_value ? *inline_value : args[++i];
    if (a == "--port") {
      auto n = ParseInt(value);
      if (!n || *n < 1 || *n > 65535) return Usage("--port needs a port number from 1 to 65535, not '" + value + "'");
      options.port = static_cast<uint16_t>(*n);
    } else if (a == "--user") {
      options.user = value;
    } else if (value.empty()) {
      return Usage(a + " needs a value");
    } else if (a == "--host") {
      options.host = value;
    } else if (a == "--cacert") {
      options.tls.ca_file = value;
    } else {
      (a == "--secret-file" ? options.secret_file : options.new_secret_file) = value;
    }
  }

  if (!options.tls.enabled && (!options.tls.ca_file.empty() || !options.tls.verify))
    return Usage("--cacert and --insecure need --tls");
  Session session(options);
  if (i == args.size()) return RunShell(session);
  return RunCommand(session,
                    std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i), args.end()));
}
