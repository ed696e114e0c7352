#pragma once

// Dialogue scripts for protocol tests: each exchange names the lines the
// client must send (none for a greeting or for a reply that follows data)
// and the bytes the server answers with. Scripting a FakeServer from them
// also gives the transcript the client must have produced.

#include <string>
#include <vector>

#include "support/fake_server.h"

namespace vesk::testing {

struct Exchange {
  std::vector<std::string> client_lines;
  std::string reply;
};

// Scripts `server` and returns every client line in order.
inline std::vector<std::string> ScriptDialogue(FakeServer& server,
                                               const std::vector<Exchange>& exchanges) {
  std::vector<std::string> transcript;
  for (const Exchange& exchange : exchanges) {
    for (const std::string& line : exchange.client_lines) {
      server.ExpectLine(line);
      transcript.push_back(line);
    }
    if (!exchange.reply.empty()) server.Send(exchange.reply);
  }
  return transcript;
}

}  // namespace vesk::testing
