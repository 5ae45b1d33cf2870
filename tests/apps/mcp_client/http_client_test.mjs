// Drives vantory-mcp over streamable HTTP with the official MCP TypeScript SDK client: two
// clients at once, each in its own session, one of them offering roots over the event stream;
// a client with a wrong token is refused; SIGTERM ends the server cleanly.
//
// usage: node http_client_test.mjs <vantory-mcp>
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { ListRootsRequestSchema } from "@modelcontextprotocol/sdk/types.js";

const [serverPath] = process.argv.slice(2);
const work = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), "vantory-http-")));
const write = (relative, text) => {
  fs.mkdirSync(path.dirname(path.join(work, relative)), { recursive: true });
  fs.writeFileSync(path.join(work, relative), text);
};
for (let i = 0; i < 12; ++i) write(`repo/m${i}.py`, `def handler_${i}(event):\n    return event\n`);
write("outside.py", "def secret():\n    return 1\n");
write("token", "s3cret-token\n");

const server = spawn(serverPath, ["--http", "127.0.0.1:0", "--token-file", "token"], {
  cwd: work, stdio: ["ignore", "pipe", "inherit"],
});
const exited = new Promise((resolve) => server.on("exit", (code, signal) => resolve({ code, signal })));
const url = new URL((await readline.createInterface({ input: server.stdout })[Symbol.asyncIterator]().next()).value);

const text = (result) => result.content[0].text;
const connect = async (name, token, roots) => {
  const client = new Client({ name, version: "1.0.0" },
                            roots ? { capabilities: { roots: { listChanged: true } } } : {});
  if (roots) {
    client.setRequestHandler(ListRootsRequestSchema, async () => ({
      roots: roots.map((root) => ({ uri: `file://${path.join(work, root)}` })),
    }));
  }
  const transport = new StreamableHTTPClientTransport(url, {
    requestInit: { headers: { Authorization: `Bearer ${token}` } },
  });
  await client.connect(transport);
  return { client, transport };
};

try {
  const a = await connect("a", "s3cret-token", ["repo"]);
  const b = await connect("b", "s3cret-token");
  assert.notEqual(a.transport.sessionId, b.transport.sessionId);

  // Both at once: a indexes the repository with progress on its event stream while b pings,
  // lists the tools and is refused a file outside the working directory.
  const progress = [];
  const [indexed, , listed, refused] = await Promise.all([
    a.client.callTool({ name: "index_directory", arguments: { directory: "repo" } }, undefined,
                      { onprogress: (p) => progress.push(p.progress) }),
    b.client.ping(),
    b.client.listTools(),
    b.client.callTool({ name: "summarize_context", arguments: { file_path: "/etc/hostname" } }),
  ]);
  assert.equal(indexed.isError, false, text(indexed));
  assert.equal(indexed.structuredContent.indexed, 12);
  assert.ok(progress.length >= 1, "progress came over the stream");
  assert.ok(listed.tools.some((tool) => tool.name === "search_codebase"));
  assert.equal(refused.isError, true);
  assert.match(text(refused), /^PermissionError: '\/etc\/hostname' is outside the allowed roots/);

  // a's roots (asked for over its event stream) hold the repository only; b's session keeps
  // the working directory.
  const outsideA = await a.client.callTool({ name: "index_file",
                                             arguments: { file_path: "outside.py" } });
  assert.equal(outsideA.isError, true);
  assert.match(text(outsideA), /outside the allowed roots: .*\/repo$/);
  const outsideB = await b.client.callTool({ name: "index_file",
                                             arguments: { file_path: "outside.py" } });
  assert.equal(outsideB.isError, false, text(outsideB));
  const hits = await b.client.callTool({ name: "search_codebase",
                                         arguments: { query: "handler 7 event", top_k: 1 } });
  assert.equal(hits.structuredContent.results[0].chunk.name, "handler_7");

  // A wrong token is refused before any session is made.
  await assert.rejects(connect("intruder", "guess"), (e) => e.code === 401);

  // A session ended by its client is gone; the other goes on.
  const ended = a.transport.sessionId;
  await a.transport.terminateSession();
  const stale = await fetch(url, {
    method: "POST",
    headers: { Authorization: "Bearer s3cret-token", "Content-Type": "application/json",
               Accept: "application/json, text/event-stream",
               "Mcp-Session-Id": ended },
    body: JSON.stringify({ jsonrpc: "2.0", id: 1, method: "ping" }),
  });
  assert.equal(stale.status, 404);
  await b.client.ping();
  await a.client.close();
  await b.client.close();
  console.log(`ok: two sessions, ${progress.length} progress notifications`);
} finally {
  server.kill("SIGTERM");
  const end = await exited;
  fs.rmSync(work, { recursive: true, force: true });
  assert.deepEqual(end, { code: 0, signal: null }, "SIGTERM ends the server cleanly");
}
