#ifndef WEB_RESPONSE_H_
#define WEB_RESPONSE_H_

// The framing every stream_admin response is written in. Pieces go straight
// to cgiOut in output order; nothing is assembled in memory first.

#include <string_view>

// "Pragma: no-cache", "Cache-Control: no-cache" and the text/xml content type,
// ending the header block.
void write_response_header();

// The response header, the config declaration line and "<config>".
void begin_config_response();

// "<res>N</res>".
void write_res(int result);

// "<TAG>TEXT</TAG>", the text escaped so that an XML parser reads it back.
void write_element(std::string_view tag, std::string_view text);

// "</config>", with nothing after it.
void end_config_response();

// A whole config response whose only element is "<res>N</res>".
void write_config_response(int result);

// Writes raw bytes to the response.
void write_raw(std::string_view bytes);

#endif  // WEB_RESPONSE_H_
