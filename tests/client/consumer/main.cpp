// Uses the installed client library: the header must stand alone and the
// library must link without anything from the server.
#include <parley/Client.h>

#include <cstdio>

int main() {
  const parley::Request req = parley::Request::Register("ann");  // 4 + 8 + 8 + 3 bytes
  parley::Client client;
  const auto r = client.Register("ann");  // not connected
  std::printf("%zu %s %s\n", req.frame().size(), parley::ToString(req.kind()), parley::ToString(r.status));
  return 0;
}
