// parley: command-line client of the Parley chat server.
//   parley [--host H] [--port P] [--tls [--cacert FILE | --insecure]] [--json] [--user U [--secret-file F]] COMMAND [ARGS]
// See `parley --help` and docs/client.md.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Cli.h"
#include "Shell.h"
#include "Text.h"

using namespace parley::cli;

namespace {

int Usage(const std::string& why) {
  std::fprintf(stderr, "parley: %s (try 'parley --help')\n", why.c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  size_t i = 0;
  for (; i < args.size() && args[i].starts_with("-"); ++i) {
    const std::string& a = args[i];
    // "--name value" or "--name=value".
    auto value = [&](std::string_view name) -> std::optional<std::string> {
      if (a == name) return i + 1 < args.size() ? std::optional(args[++i]) : std::nullopt;
      return a.substr(name.size() + 1);
    };
    if (a == "--help" || a == "-h") {
      PrintUsage(stdout, false);
      return kExitOk;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--tls") {
      options.tls.enabled = true;
    } else if (a == "--insecure") {
      options.tls.verify = false;
    } else if (a == "--cacert" || a.starts_with("--cacert=")) {
      auto file = value("--cacert");
      if (!file || file->empty()) return Usage("--cacert needs a file of CA certificates");
      options.tls.ca_file = *file;
    } else if (a == "--host" || a.starts_with("--host=")) {
      auto host = value("--host");
      if (!host || host->empty()) return Usage("--host needs an address");
      options.host = *host;
    } else if (a == "--port" || a.starts_with("--port=")) {
      auto port = value("--port");
      auto n = port ? ParseInt(*port) : std::nullopt;
      if (!n || *n < 1 || *n > 65535) return Usage("--port needs a port number from 1 to 65535");
      options.port = static_cast<uint16_t>(*n);
    } else if (a == "--user" || a.starts_with("--user=")) {
      options.user = value("--user");
      if (!options.user) return Usage("--user needs a user name");
    } else if (a == "--secret-file" || a.starts_with("--secret-file=") || a == "--new-secret-file" ||
               a.starts_with("--new-secret-file=")) {
      const bool fresh = a.starts_with("--new");
      auto file = value(fresh ? "--new-secret-file" : "--secret-file");
      if (!file || file->empty()) return Usage(std::string(fresh ? "--new-secret-file" : "--secret-file") + " needs a file");
      (fresh ? options.new_secret_file : options.secret_file) = *file;
    } else if (a == "--secret" || a.starts_with("--secret=") || a == "--password" || a.starts_with("--password=")) {
      return Usage("a secret is not taken from the command line, where other users of the machine can read it: "
                   "use --secret-file FILE or PARLEY_SECRET");
    } else if (a == "--") {
      ++i;
      break;
    } else {
      return Usage("unknown option '" + a + "'");
    }
  }

  if (!options.tls.enabled && (!options.tls.ca_file.empty() || !options.tls.verify))
    return Usage("--cacert and --insecure need --tls");
  Session session(options);
  if (i == args.size()) return RunShell(session);
  return RunCommand(session,
                    std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i), args.end()));
}
