// Fuzz target: the request decoders of stream_admin. The first input byte
// picks the decoder (query string, urlencoded body, multipart body with one of
// a few content types); the rest is the request text. Every decoded field must
// be readable through the form accessors without any limit being overrun.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "web/cgi.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const char* const kContentTypes[] = {
      "multipart/form-data; boundary=b0",
      "multipart/form-data; boundary=\"----x\"; charset=utf-8",
      "multipart/form-data",
      "application/x-www-form-urlencoded",
  };
  cgi::FormFields fields;
  switch (data[0] % 3) {
    case 0:
      fields = cgi::ParseUrlEncoded(text);
      break;
    case 1:
      fields = cgi::ParseMultipart(text, kContentTypes[(data[0] / 3) % 4]);
      break;
    default: {
      FILE* body = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
      if (body == nullptr) return 0;
      const std::string length = std::to_string(text.size());
      fields = cgi::ParseRequest("POST", nullptr, kContentTypes[(data[0] / 3) % 4], length.c_str(), body);
      std::fclose(body);
      break;
    }
  }
  cgi::SetFormFields(std::move(fields));
  for (const std::string& name : cgiFormEntries()) {
    std::string value = cgiFormStringNoNewlines(name, 256);
    if (value.size() > 255 || value.find_first_of("\r\n") != std::string::npos) __builtin_trap();
    if (cgiFormString(name, 4).size() > 3) __builtin_trap();
  }
  return 0;
}
