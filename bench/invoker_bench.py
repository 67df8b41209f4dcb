"""Calls per second of the chat-completions invoker against plain pooled clients: aiohttp, which the
invoker uses, and httpx.

Every side asks a local server (two worker processes on one port, HTTP/1.1 keep-alive, a ready
chat-completions answer) the same requests: the invoker through `invoke`, a plain client by posting
the same JSON body with the same headers and reading the answer's text and usage, with at most 100
connections open. At concurrency 1 one task calls in turn; at concurrency 100, 100 tasks do. Rounds
alternate between the sides; the best of the rounds is kept. Goal: the invoker at 0.95x the plain
aiohttp client or better.
"""

import asyncio
import json
import time

import aiohttp
import httpx

import answer_server
from vadrel_inference.lm_invoker import build_lm_invoker
from vadrel_inference.schema import Message, MessageRole

CALLS = {1: 1_000, 100: 2_000}
ROUNDS = 5
WORKERS = 2

MESSAGES = [Message(role=MessageRole.SYSTEM, contents=["You are a content-safety checker."]),
            Message(role=MessageRole.USER, contents=["Is this message safe? Hello there."])]


def request_body(messages):
    payload = {"model": "m", "messages": [{"role": str(m.role), "content": "\n".join(m.contents)} for m in messages]}
    return json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode()


class PlainHttpx:
    """What a hand-written caller does with a pooled httpx client: the same request, the same reading."""

    def __init__(self, base_url):
        self.url = base_url + "/chat/completions"
        self.client = httpx.AsyncClient(
            timeout=60.0, limits=httpx.Limits(max_connections=100, max_keepalive_connections=100),
            headers={"Authorization": "Bearer k"},
        )

    async def invoke(self, messages):
        response = await self.client.post(self.url, content=request_body(messages),
                                          headers={"Content-Type": "application/json"})
        response.raise_for_status()
        body = response.json()
        return body["choices"][0]["message"]["content"], body.get("usage")

    async def aclose(self):
        await self.client.aclose()


class PlainAiohttp:
    """The same with a pooled aiohttp session."""

    def __init__(self, base_url):
        self.url = base_url + "/chat/completions"
        self.session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=100),
                                             headers={"Authorization": "Bearer k"},
                                             timeout=aiohttp.ClientTimeout(total=60.0))

    async def invoke(self, messages):
        async with self.session.post(self.url, data=request_body(messages),
                                     headers={"Content-Type": "application/json"}) as response:
            response.raise_for_status()
            body = json.loads(await response.read())
        return body["choices"][0]["message"]["content"], body.get("usage")

    async def aclose(self):
        await self.session.close()


async def rate(call, concurrency, calls):
    each = calls // concurrency

    async def worker(n):
        for _ in range(n):
            await call()

    await asyncio.gather(*(worker(1) for _ in range(concurrency)))  # warm: connections open
    started = time.perf_counter()
    await asyncio.gather(*(worker(each) for _ in range(concurrency)))
    return each * concurrency / (time.perf_counter() - started)


async def measure(base_url):
    invoker = build_lm_invoker("local/m", credentials="k", config={"base_url": base_url})
    plain_aiohttp = PlainAiohttp(base_url)
    plain_httpx = PlainHttpx(base_url)
    best = {}
    try:
        for concurrency, calls in CALLS.items():
            for _ in range(ROUNDS):
                for name, call in (("invoker", lambda: invoker.invoke(messages=MESSAGES)),
                                   ("aiohttp", lambda: plain_aiohttp.invoke(MESSAGES)),
                                   ("httpx", lambda: plain_httpx.invoke(MESSAGES))):
                    value = await rate(call, concurrency, calls)
                    best[name, concurrency] = max(best.get((name, concurrency), 0.0), value)
    finally:
        await invoker.aclose()
        await plain_aiohttp.aclose()
        await plain_httpx.aclose()
    return best


def main():
    port, workers = answer_server.start("safe", 12, WORKERS)
    try:
        best = asyncio.run(measure(f"http://127.0.0.1:{port}/v1"))
    finally:
        answer_server.stop(workers)
    print(f"{'concurrency':>11}  {'invoker calls/s':>15}  {'plain aiohttp':>13}  {'ratio':>5}  {'plain httpx':>11}  {'ratio':>5}")
    for concurrency in CALLS:
        mine, aio, hx = best["invoker", concurrency], best["aiohttp", concurrency], best["httpx", concurrency]
        print(f"{concurrency:>11}  {mine:>15,.0f}  {aio:>13,.0f}  {mine / aio:>5.2f}  {hx:>11,.0f}  {mine / hx:>5.2f}")


if __name__ == "__main__":
    main()
