#!/usr/bin/python3
"""A reverse-geocoding service for the tests: answers GET .../reverse?lat=..&lon=.. the way a
Nominatim server does, on 127.0.0.1.

Prints "ready PORT" on standard output once it listens; runs until it is killed. Writes each request's
path and User-Agent on standard error. The answer depends on the latitude asked:
  48.858400  an address in Paris          0.000000  {"error": "Unable to geocode"}
  1.000000   HTTP status 500               2.000000  an answer after 5 seconds
  3.000000   a text that is not JSON       4.000000  an answer of 2 MB
anything else: an address in "Testville"."""

import http.server
import json
import sys
import time
import urllib.parse

PARIS = {"place_id": 1, "lat": "48.8584", "lon": "2.2945", "display_name": "Tour Eiffel, Paris, France",
         "address": {"tourism": "Tour Eiffel", "road": "Avenue Anatole France", "suburb": "Gros-Caillou",
                     "city_district": "Paris 7e Arrondissement", "city": "Paris", "county": "Paris",
                     "state": "Île-de-France", "postcode": "75007", "country": "France", "country_code": "fr"}}
ELSEWHERE = {"address": {"village": "Testville", "province": "Test Province", "country": "Testland",
                         "country_code": "tl"}}


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        sys.stderr.write("GET %s UA=%s\n" % (self.path, self.headers.get("User-Agent")))
        sys.stderr.flush()
        query = urllib.parse.parse_qs(urllib.parse.urlparse(self.path).query)
        lat = query.get("lat", [""])[0]
        status, body = 200, json.dumps(ELSEWHERE).encode()
        if lat == "48.858400":
            body = json.dumps(PARIS).encode()
        elif lat == "0.000000":
            body = b'{"error":"Unable to geocode"}'
        elif lat == "1.000000":
            status, body = 500, b"internal error"
        elif lat == "2.000000":
            time.sleep(5)
        elif lat == "3.000000":
            body = b"<html>not json</html>"
        elif lat == "4.000000":
            body = b" " * (2 << 20)
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("ready %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
