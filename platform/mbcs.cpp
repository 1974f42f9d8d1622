// Character-aware searches shared by every backend; a backend only says which bytes lead.
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

void mark(LeadBytes& lead, unsigned first, unsigned last) {
  for (unsigned b = first; b <= last; ++b) lead.lead[b] = true;
}

// The length of the character that starts at text[i]: 2 for a lead byte that has a
// byte after it, else 1.
std::size_t char_length(std::string_view text, std::size_t i, const LeadBytes& lead) {
  const bool is_lead = lead.lead[static_cast<unsigned char>(text[i])];
  return is_lead && i + 1 < text.size() ? 2 : 1;
}

bool any_lead(const LeadBytes& lead) {
  for (bool b : lead.lead)
    if (b) return true;
  return false;
}

}  // namespace

LeadBytes lead_bytes_of_code_page(unsigned code_page) {
  LeadBytes lead{};
  switch (code_page) {
    case 932:
      mark(lead, 0x81, 0x9F);
      mark(lead, 0xE0, 0xFC);
      break;
    case 936:
    case 949:
    case 950:
      mark(lead, 0x81, 0xFE);
      break;
    case 1361:
      mark(lead, 0x81, 0xD3);
      mark(lead, 0xD8, 0xDE);
      mark(lead, 0xE0, 0xF9);
      break;
    default:
      break;
  }
  return lead;
}

std::size_t mbs_rfind(std::string_view text, char c, const LeadBytes& lead) {
  std::size_t found = std::string_view::npos;
  for (std::size_t i = 0; i < text.size(); i += char_length(text, i, lead))
    if (text[i] == c) found = i;
  return found;
}

std::size_t mbs_find(std::string_view text, std::string_view key, const LeadBytes& lead) {
  if (text.empty()) return std::string_view::npos;
  if (!any_lead(lead)) return text.find(key);
  // Candidates come from a byte search; only those at a character boundary count. The
  // boundary walk resumes where the previous candidate left it, so the text is walked once.
  std::size_t boundary = 0;
  for (std::size_t hit = text.find(key); hit != std::string_view::npos;
       hit = text.find(key, hit + 1)) {
    while (boundary < hit) boundary += char_length(text, boundary, lead);
    if (boundary == hit) return hit;
  }
  return std::string_view::npos;
}

}  // namespace platform
