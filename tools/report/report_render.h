// The two forms of the report: one JSON document for other tools, and one self-contained HTML
// page (inline CSS and SVG, no script, no file or network access) that embeds the same JSON.
#pragma once

#include <string>

#include "report_figures.h"

namespace kelvor::report {

// `company` names the company on the page (the DT database's path).
std::string RenderJson(const Figures& f, const std::string& company);
std::string RenderHtml(const Figures& f, const std::string& company);

// Text for JSON and for HTML.
std::string JsonString(const std::string& s);
std::string HtmlEscape(const std::string& s);

}  // namespace kelvor::report
