#include "pg/path.h"

#include <libpq-fe.h>

#include <memory>

#include "kelvor/jet_error.h"

namespace kelvor::pg {

namespace {

constexpr std::string_view kKeywordPrefix = "pg:";

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Unquoted PostgreSQL names only: the layer then never has to quote or fold a schema's name.
bool validSchema(std::string_view s) {
    if (s.empty() || s.size() > 63) return false;
    if (!(s[0] == '_' || (s[0] >= 'a' && s[0] <= 'z'))) return false;
    for (char c : s)
        if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

using Options = std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)>;

}  // namespace

bool NamesServer(std::string_view path) {
    return startsWith(path, "postgresql://") || startsWith(path, "postgres://") ||
           startsWith(path, kKeywordPrefix);
}

ServerPath ParseServerPath(std::string_view path) {
    const size_t hash = path.rfind('#');
    std::string_view info = path.substr(0, hash);
    if (startsWith(info, kKeywordPrefix)) info.remove_prefix(kKeywordPrefix.size());
    ServerPath out;
    out.conninfo = std::string(info);
    char* message = nullptr;
    Options options(PQconninfoParse(out.conninfo.c_str(), &message), &PQconninfoFree);
    PQfreemem(message);
    // Whatever is wrong, the message names the path by what is safe to show.
    std::string shown = "pg:";
    bool password = false;
    if (options) {
        for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
            if (!o->val || !*o->val) continue;
            if (std::string_view(o->keyword) == "password") {
                password = true;
                continue;
            }
            out.serverKey += std::string(o->keyword) + "=" + o->val + "\n";
            shown += std::string(shown.size() > 3 ? " " : "") + o->keyword + "=" + o->val;
        }
    }
    if (hash != std::string_view::npos) out.schema = std::string(path.substr(hash + 1));
    shown += "#" + out.schema;
    out.shown = shown;
    if (!options || password || !validSchema(out.schema))
        throw JetError::make(
            err::kInvalidPath,
            options ? shown
                    : std::string(path.substr(0, path.find(':') + 1)) + "...#" + out.schema);
    return out;
}

}  // namespace kelvor::pg
