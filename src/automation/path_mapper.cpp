#include "automation/path_mapper.h"

#include "automation/frame/strings.h"

namespace vesk::com {

bool MapFilePath(IServer* server, bool use_virtual_path, const std::string& name, std::string& physical) {
  if (!use_virtual_path) {
    physical = name;
    return true;
  }
  if (!server) return false;
  Bstr logical, mapped;
  if (FAILED(ToBstr(name, logical.put(), CP_UTF8))) return false;
  if (FAILED(server->MapPath(logical.get(), mapped.put()))) return false;
  physical = ToNarrow(mapped.get(), CP_UTF8);
  return true;
}

}  // namespace vesk::com
