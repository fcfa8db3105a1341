#include "web/response.h"

#include <cstdio>
#include <string>

#include "lib/xml_text.h"
#include "web/cgi.h"

void write_raw(std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), cgiOut); }

void write_response_header() {
  write_raw("Pragma: no-cache\r\nCache-Control: no-cache\r\n");
  cgiHeaderContentType("text/xml");
}

void begin_config_response() {
  write_response_header();
  write_raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>");
}

void write_res(int result) { std::fprintf(cgiOut, "<res>%d</res>", result); }

void write_element(std::string_view tag, std::string_view text) {
  write_raw("<");
  write_raw(tag);
  write_raw(">");
  write_raw(xml_escape(text));
  write_raw("</");
  write_raw(tag);
  write_raw(">");
}

void end_config_response() { write_raw("</config>"); }

void write_config_response(int result) {
  begin_config_response();
  write_res(result);
  end_config_response();
}
