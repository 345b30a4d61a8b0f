// The media type of a file by its extension, as the system's table (/etc/mime.types) gives it;
// "text/html" for a name without an extension or one the table does not list.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace harbix {

class MimeTypes {
 public:
  static constexpr const char* kSystemTable = "/etc/mime.types";
  static constexpr const char* kDefault = "text/html";

  // The table of the file at sPath ("type ext ext ..." lines, "#" comments).
  explicit MimeTypes(const std::string& sPath = kSystemTable);
  // The process's table, read once.
  static const MimeTypes& System();

  std::string TypeOf(std::string_view sFileName) const;

 private:
  std::map<std::string, std::string> m_types;  // lower-case extension -> type
};

}  // namespace harbix
