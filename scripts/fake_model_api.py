"""A tiny stand-in for the model APIs the coding agents call, on loopback only.

It speaks just enough of the Anthropic Messages API (Claude Code) and the OpenAI Responses API
(Codex) for the agents to show their screens. What it answers depends on a keyword in the last
thing the user typed, so a capture walk can steer the agent to each screen:

  "run"   -> a shell command (the permission prompt)
  "form"  -> a multi-question form (Claude Code's AskUserQuestion, Codex's request_user_input)
  "ask"   -> a free-text question
  "slow"  -> a reply that takes a minute (the busy screen)
  else    -> a short final message
"""

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

FREE_TEXT_QUESTION = "Which file should I start with, parser.c or lexer.c?"
FINAL_MESSAGE = "Done: the parser now accepts trailing commas and all 38 tests pass."
SHELL_COMMAND = "touch build-stamp.txt"
FORM = [
    {
        "question": "Which web framework should the service use?",
        "header": "Framework",
        "options": [
            {"label": "Flask", "description": "Small and familiar"},
            {"label": "FastAPI", "description": "Async with typed models"},
        ],
    },
    {
        "question": "Which database should it store data in?",
        "header": "Database",
        "options": [
            {"label": "SQLite", "description": "One file, no server"},
            {"label": "PostgreSQL", "description": "A real server"},
        ],
    },
]


def intent(text):
    for word in ("run", "form", "ask", "slow"):
        if word in text.lower().split():
            return word
    return "done"


# ---- Anthropic Messages ---------------------------------------------------------------------


def last_user_text(messages):
    """The text the user typed last; None when the last user turn is a tool result."""
    for message in reversed(messages):
        if message.get("role") != "user":
            continue
        content = message.get("content")
        if isinstance(content, str):
            return content
        texts = []
        for block in content:
            if block.get("type") == "tool_result":
                return None
            if block.get("type") == "text" and not block["text"].startswith("<"):
                texts.append(block["text"])
        return " ".join(texts)
    return ""


def anthropic_blocks(body):
    tools = {tool.get("name") for tool in body.get("tools", [])}
    text = last_user_text(body.get("messages", []))
    if text is None or not tools:
        return [{"type": "text", "text": FINAL_MESSAGE}], 0
    want = intent(text)
    if want == "run" and "Bash" in tools:
        return [tool_use("Bash", {"command": SHELL_COMMAND, "description": "Create a stamp"})], 0
    if want == "form" and "AskUserQuestion" in tools:
        questions = [dict(q, multiSelect=False) for q in FORM]
        return [tool_use("AskUserQuestion", {"questions": questions})], 0
    if want == "ask":
        return [{"type": "text", "text": FREE_TEXT_QUESTION}], 0
    if want == "slow":
        return [{"type": "text", "text": FINAL_MESSAGE}], 90
    return [{"type": "text", "text": FINAL_MESSAGE}], 0


def tool_use(name, arguments):
    return {"type": "tool_use", "id": "toolu_%d" % time.monotonic_ns(), "name": name,
            "input": arguments}


def anthropic_events(body, blocks):
    message = {"id": "msg_%d" % time.monotonic_ns(), "type": "message", "role": "assistant",
               "model": body.get("model", "fake"), "content": [], "stop_reason": None,
               "stop_sequence": None, "usage": {"input_tokens": 10, "output_tokens": 1}}
    yield "message_start", {"type": "message_start", "message": message}
    for index, block in enumerate(blocks):
        if block["type"] == "text":
            yield "content_block_start", {"type": "content_block_start", "index": index,
                                          "content_block": {"type": "text", "text": ""}}
            delta = {"type": "text_delta", "text": block["text"]}
        else:
            start = dict(block, input={})
            yield "content_block_start", {"type": "content_block_start", "index": index,
                                          "content_block": start}
            delta = {"type": "input_json_delta", "partial_json": json.dumps(block["input"])}
        yield "content_block_delta", {"type": "content_block_delta", "index": index,
                                      "delta": delta}
        yield "content_block_stop", {"type": "content_block_stop", "index": index}
    stop = "tool_use" if any(b["type"] == "tool_use" for b in blocks) else "end_turn"
    yield "message_delta", {"type": "message_delta",
                            "delta": {"stop_reason": stop, "stop_sequence": None},
                            "usage": {"output_tokens": 20}}
    yield "message_stop", {"type": "message_stop"}


# ---- OpenAI Responses -----------------------------------------------------------------------


def responses_user_text(items):
    for item in reversed(items):
        if item.get("type") in ("function_call_output", "custom_tool_call_output"):
            return None
        if item.get("role") == "user":
            parts = item.get("content", [])
            if isinstance(parts, str):
                return parts
            texts = [p.get("text", "") for p in parts if p.get("type") == "input_text"]
            text = " ".join(t for t in texts if not t.lstrip().startswith("<"))
            if text:
                return text
    return ""


def shell_call(tools):
    names = {tool.get("name"): tool for tool in tools}
    # Asking to leave the sandbox makes Codex ask the user first.
    escalate = {"sandbox_permissions": "require_escalated",
                "justification": "Creates the build stamp outside the sandbox."}
    if "shell_command" in names:
        return "shell_command", dict(escalate, command=SHELL_COMMAND)
    if "exec_command" in names:
        return "exec_command", dict(escalate, cmd=SHELL_COMMAND)
    return "shell", dict(escalate, command=["bash", "-lc", SHELL_COMMAND])


def responses_items(body):
    tools = body.get("tools", [])
    names = {tool.get("name") for tool in tools}
    text = responses_user_text(body.get("input", []))
    if text is None:
        return [message_item(FINAL_MESSAGE)], 0
    want = intent(text)
    if want == "run":
        name, arguments = shell_call(tools)
        return [function_call(name, arguments)], 0
    if want == "form" and "request_user_input" in names:
        questions = [{"id": q["header"].lower(), "header": q["header"],
                      "question": q["question"], "options": q["options"]} for q in FORM]
        return [function_call("request_user_input", {"questions": questions})], 0
    if want == "ask":
        return [message_item(FREE_TEXT_QUESTION)], 0
    if want == "slow":
        return [message_item(FINAL_MESSAGE)], 90
    return [message_item(FINAL_MESSAGE)], 0


def message_item(text):
    return {"type": "message", "role": "assistant", "id": "msg_%d" % time.monotonic_ns(),
            "content": [{"type": "output_text", "text": text, "annotations": []}]}


def function_call(name, arguments):
    return {"type": "function_call", "id": "fc_%d" % time.monotonic_ns(), "name": name,
            "arguments": json.dumps(arguments), "call_id": "call_%d" % time.monotonic_ns()}


def responses_events(items):
    response = {"id": "resp_%d" % time.monotonic_ns(), "object": "response",
                "status": "in_progress", "output": []}
    yield "response.created", {"type": "response.created", "response": response}
    for index, item in enumerate(items):
        yield "response.output_item.added", {"type": "response.output_item.added",
                                             "output_index": index, "item": item}
        if item["type"] == "message":
            yield "response.output_text.delta", {
                "type": "response.output_text.delta", "output_index": index,
                "content_index": 0, "item_id": item["id"],
                "delta": item["content"][0]["text"]}
        yield "response.output_item.done", {"type": "response.output_item.done",
                                            "output_index": index, "item": item}
    done = dict(response, status="completed", output=items,
                usage={"input_tokens": 10, "input_tokens_details": {"cached_tokens": 0},
                       "output_tokens": 20, "output_tokens_details": {"reasoning_tokens": 0},
                       "total_tokens": 30})
    yield "response.completed", {"type": "response.completed", "response": done}


# ---- the server -----------------------------------------------------------------------------


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    log_file = None

    def log_message(self, *args):
        pass

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            body = json.loads(raw or b"{}")
        except ValueError:
            body = {}
        if self.log_file:
            tools = [t.get("name") or t.get("type") for t in body.get("tools", [])]
            last = (body.get("input") or body.get("messages") or [])[-2:]
            with open(self.log_file, "a") as log:
                log.write("%s %s tools=%s last=%s\n" % (self.command, self.path, tools,
                                                      json.dumps(last)[:800]))
        return body

    def send_json(self, status, payload):
        data = json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def send_events(self, events, delay):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        try:
            for number, (name, payload) in enumerate(events):
                if number == 1 and delay:
                    time.sleep(delay)
                self.wfile.write(("event: %s\ndata: %s\n\n" % (name, json.dumps(payload))).encode())
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_GET(self):
        self.body()
        if self.path.startswith("/v1/models"):
            self.send_json(200, {"data": [], "object": "list"})
        else:
            self.send_json(404, {"error": {"type": "not_found", "message": self.path}})

    def do_HEAD(self):
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_POST(self):
        body = self.body()
        path = self.path.split("?")[0]
        if path.endswith("/messages/count_tokens"):
            self.send_json(200, {"input_tokens": 100})
        elif path.endswith("/messages"):
            blocks, delay = anthropic_blocks(body)
            events = list(anthropic_events(body, blocks))
            if body.get("stream"):
                self.send_events(events, delay)
            else:
                time.sleep(delay)
                message = events[0][1]["message"]
                message.update(content=blocks, stop_reason=events[-2][1]["delta"]["stop_reason"])
                self.send_json(200, message)
        elif path.endswith("/responses"):
            items, delay = responses_items(body)
            self.send_events(list(responses_events(items)), delay)
        else:
            self.send_json(404, {"error": {"type": "not_found", "message": self.path}})


def start(log_file=None):
    """Serves on a free loopback port in a daemon thread; returns the base URL."""
    Handler.log_file = log_file
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return "http://127.0.0.1:%d" % server.server_address[1]


if __name__ == "__main__":
    import sys

    print(start(sys.argv[1] if len(sys.argv) > 1 else None), flush=True)
    threading.Event().wait()
