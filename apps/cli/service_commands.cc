// The commands that serve: serve-embeddings, mcp; and call, which runs any tool by name.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "apps/cli/command.h"
#include "apps/cli/readable_json.h"
#include "apps/cli/table.h"
#include "apps/embeddings/local_embedding_service.h"
#include "apps/host/tool_arguments.h"
#include "apps/mcp/mcp_server.h"
#include "common/json_text.h"

namespace vantory::cli {

namespace {

int run_serve_embeddings(Invocation& invocation) {
  std::int64_t port = invocation.integer("port", 7860);
  std::int64_t dimension = invocation.integer("dimension", 256);
  if (port < 0 || port > 65535) throw UsageError("--port must be between 0 and 65535");
  if (dimension < 1 || dimension > 65536) {
    throw UsageError("--dimension must be between 1 and 65536");
  }
  // Ctrl-C and kill are taken by sigwait below, not by a handler: the service then stops in
  // order. The mask is set before the service starts its threads, which inherit it.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  embeddings::LocalEmbeddingService service(static_cast<int>(port),
                                            static_cast<std::size_t>(dimension));
  if (invocation.json) {
    std::cout << dump_json({{"port", service.port()},
                            {"dimension", service.dimension()},
                            {"gradio_url", service.gradio_url()},
                            {"rest_url", service.rest_url()},
                            {"openai_url", service.openai_url()}})
              << std::endl;
  } else {
    std::cout << "Serving embeddings on 127.0.0.1:" << service.port() << " (dimension "
              << service.dimension() << "); stop with Ctrl-C.\n"
              << "  Gradio call API: " << service.gradio_url() << "\n"
              << "  REST:            " << service.rest_url() << "\n"
              << "  OpenAI format:   " << service.openai_url() << " (any model name)\n"
              << "Use it from vantory and vantory-mcp with:\n"
              << "  export REMOTE_EMBEDDING_URL=" << service.gradio_url() << std::endl;
  }
  int signal = 0;
  sigwait(&stop_signals, &signal);
  return 0;
}

int run_mcp(Invocation& invocation) {
  std::int64_t max_calls =
      invocation.integer("max-calls", static_cast<std::int64_t>(mcp::kDefaultMaxCalls));
  if (max_calls < 1 || max_calls > 1024) throw UsageError("--max-calls must be from 1 to 1024");
  return mcp::serve_stdio(*invocation.host, static_cast<std::size_t>(max_calls),
                          invocation.texts("watch"));
}

int run_call(Invocation& invocation) {
  Json arguments = Json::object();
  if (invocation.operands.size() > 1) {
    try {
      arguments = parse_json(invocation.operands[1]);
    } catch (const Error& e) {
      throw UsageError(std::string("ARGUMENTS is not JSON: ") + e.what());
    }
  }
  if (!invocation.host->find_tool(invocation.operands[0])) {
    throw UsageError("no tool '" + invocation.operands[0] + "' (vantory tools lists them)");
  }
  return show(invocation, invocation.host->call_tool(invocation.operands[0], arguments),
              [](const Json& answer) { return readable_json(answer); });
}

std::string show_tools(const Json& tools) {
  Table table({"TOOL", "WHAT IT DOES"});
  for (const Json& tool : tools) {
    std::string description = tool["description"].get<std::string>();
    table.add_row({tool["name"].get<std::string>(), description.substr(0, description.find(". "))});
  }
  return table.render(0, terminal_width());
}

int run_tools(Invocation& invocation) {
  Json tools = Json::array();
  for (const host::ToolDefinition& tool : invocation.host->listed_tools()) {
    tools.push_back(host::tool_listing(tool));
  }
  return show(invocation, tools, show_tools);
}

}  // namespace

std::vector<Command> service_commands() {
  return {
      {"serve-embeddings",
       "",
       "serve embeddings on 127.0.0.1 without a model or network",
       "Serves a deterministic local embedder through the Gradio call API\n"
       "(/gradio_api/call/embed_dense), REST (/embed) and the OpenAI format (/v1/embeddings)\n"
       "until stopped, so that remember, recall and the memory tools work offline. Point\n"
       "REMOTE_EMBEDDING_URL at the Gradio URL it prints. With --json the first line of output\n"
       "is a JSON object with port, dimension, gradio_url, rest_url and openai_url.",
       {{"port", "N", "the port to listen on; 0 picks a free one (default 7860)"},
        {"dimension", "N", "numbers per embedding (default 256)"}},
       0,
       0,
       run_serve_embeddings},
      {"mcp",
       "",
       "run the MCP server over standard input and output",
       "The same server as vantory-mcp: JSON-RPC 2.0 over standard input and output, one\n"
       "message per line.",
       {{"max-calls", "N", "tool calls run at once (default 4)"},
        {"watch", "DIR", "keep the code memory of this folder current (as watch does)", true}},
       0,
       0,
       run_mcp},
      {"call",
       "TOOL [ARGUMENTS]",
       "run any tool by name with JSON arguments",
       "Runs one of the tools vantory-mcp offers, with its arguments as a JSON object:\n"
       "  vantory call search_codebase '{\"query\": \"parse json\", \"top_k\": 3}'",
       {},
       1,
       2,
       run_call},
      {"tools",
       "",
       "list the tools of vantory-mcp",
       "The tools vantory-mcp lists to its clients, with what they do (with --json: the input\n"
       "schemas). By default the dozen an agent needs; --tools all lists every tool, and call\n"
       "runs any of them, listed or not.",
       {},
       0,
       0,
       run_tools},
  };
}

}  // namespace vantory::cli
