// Drives vantory-mcp with the official MCP TypeScript SDK client: connects over stdio, lists
// the tools, calls coding and memory tools, and checks their answers and a tool error.
//
// usage: node client_test.mjs <vantory-mcp> <vantory>
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import {
  StdioClientTransport,
  getDefaultEnvironment,
} from "@modelcontextprotocol/sdk/client/stdio.js";
import { ListRootsRequestSchema, McpError } from "@modelcontextprotocol/sdk/types.js";

const [serverPath, vantoryPath] = process.argv.slice(2);
const work = fs.mkdtempSync(path.join(os.tmpdir(), "vantory-sdk-"));
const write = (relative, text) => {
  fs.mkdirSync(path.dirname(path.join(work, relative)), { recursive: true });
  fs.writeFileSync(path.join(work, relative), text);
};
write("repo/store.py", "def save_user(user):\n    return db.insert(user)\n");
write("repo/api.py", "import store\n\ndef create_user(name):\n    return store.save_user({'name': name})\n");
write("repo/.gitignore", "ignored.py\n");
write("repo/ignored.py", "x = 1\n");
write("outside.py", "def secret():\n    return 1\n");

// The local embedding service, started as a person would start it.
const service = spawn(vantoryPath, ["serve-embeddings", "--port", "0", "--json"], {
  stdio: ["ignore", "pipe", "ignore"],
});
const started = JSON.parse(await readline.createInterface({ input: service.stdout })[Symbol.asyncIterator]().next().then((r) => r.value));

const text = (result) => result.content[0].text;
// The client offers one root, the repository: files beside it are not the server's to read.
const client = new Client({ name: "vantory-sdk-test", version: "1.0.0" },
                          { capabilities: { roots: { listChanged: true } } });
client.setRequestHandler(ListRootsRequestSchema, async () => ({
  roots: [{ uri: `file://${fs.realpathSync(path.join(work, "repo"))}`, name: "repo" }],
}));
const transport = new StdioClientTransport({
  command: serverPath,
  args: ["--agent", "sdk", "--tools", "all"],
  cwd: work,
  env: { ...getDefaultEnvironment(), REMOTE_EMBEDDING_URL: started.gradio_url },
  stderr: "ignore",
});

try {
  await client.connect(transport);
  assert.equal(client.getServerVersion().name, "vantory-mcp");
  assert.ok(client.getServerCapabilities().tools);
  await client.ping();

  const { tools } = await client.listTools();
  const names = new Set(tools.map((tool) => tool.name));
  for (const name of ["index_directory", "search_codebase", "get_mem", "create_mem",
                      "circular_dependency_check", "hybrid_search", "keyword_search",
                      "memory_add", "memory_search", "memory_list", "memory_delete"]) {
    assert.ok(names.has(name), `tool ${name} is listed`);
  }
  const search = tools.find((tool) => tool.name === "search_codebase");
  assert.equal(search.inputSchema.properties.top_k.type, "integer");
  assert.equal(search.inputSchema.properties.top_k.default, 5);
  assert.deepEqual(search.inputSchema.required, ["query"]);

  // Coding tools, with progress reports while the folder is indexed.
  const progress = [];
  const indexed = await client.callTool(
    { name: "index_directory", arguments: { directory: "repo" } }, undefined,
    { onprogress: (p) => progress.push(p.progress) });
  assert.equal(indexed.isError, false);
  assert.equal(indexed.structuredContent.indexed, 2);
  assert.equal(indexed.structuredContent.skipped, 2);  // .gitignore and ignored.py
  assert.deepEqual(JSON.parse(text(indexed)), indexed.structuredContent);
  // The SDK hands notifications on asynchronously and forgets a call's progress handler when
  // its answer arrives, so the last report or two may not be seen here.
  assert.ok(progress.length >= 1, "progress was reported");
  assert.ok(progress.every((p, i) => i === 0 || p > progress[i - 1]), `progress ${progress}`);

  const hits = await client.callTool({ name: "search_codebase",
                                       arguments: { query: "save user", top_k: 1 } });
  assert.equal(hits.structuredContent.results[0].chunk.name, "save_user");
  const graph = await client.callTool({ name: "dependency_graph",
                                        arguments: { file_paths: ["repo/api.py"] } });
  assert.deepEqual(graph.structuredContent.results["repo/api.py"].imports, ["store"]);
  const summary = await client.callTool({ name: "summarize_context",
                                          arguments: { file_path: "repo/store.py" } });
  assert.match(summary.structuredContent.summary, /store\.py/);

  // Memory tools through the local embedding service.
  const first = await client.callTool({ name: "memory_add", arguments: {
    content: "The nightly backup copies the database to cold storage", topic: "ops" } });
  assert.equal(first.structuredContent.embedded, true);
  await client.callTool({ name: "memory_add", arguments: {
    content: "Alice reviews pull requests on Mondays", persons: ["Alice"] } });
  const recalled = await client.callTool({ name: "memory_search",
                                           arguments: { query: "where is the database backup" } });
  assert.equal(recalled.structuredContent.results[0].id, first.structuredContent.id);
  const stats = await client.callTool({ name: "get_stats", arguments: {} });
  assert.equal(stats.structuredContent.agent_id, "sdk");
  assert.equal(stats.structuredContent.vector_count, 2);

  // A wrong argument kind is a tool error naming the argument and the expected type.
  const wrong = await client.callTool({ name: "search_codebase",
                                        arguments: { query: "x", top_k: "five" } });
  assert.equal(wrong.isError, true);
  assert.equal(text(wrong),
               "TypeError: search_codebase() argument 'top_k' must be integer, not string");
  // A file outside the client's roots is refused by name.
  const outside = await client.callTool({ name: "index_file",
                                          arguments: { file_path: "outside.py" } });
  assert.equal(outside.isError, true);
  assert.match(text(outside), /^PermissionError: 'outside\.py' is outside the allowed roots: .*repo$/);
  // An unknown tool is a protocol error.
  await assert.rejects(client.callTool({ name: "no_such_tool", arguments: {} }),
                       (e) => e instanceof McpError && e.code === -32602);
  await client.ping();
  console.log(`ok: ${tools.length} tools, ${progress.length} progress notifications`);
} finally {
  await client.close();
  service.kill();
  fs.rmSync(work, { recursive: true, force: true });
}
