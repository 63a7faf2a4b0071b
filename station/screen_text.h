// Text bound for a terminal: names (ports, images, what a device says of
// itself) made harmless, measured in columns, cut and shortened to fit.
// UTF-8 throughout; a character is a lead byte and its continuation bytes,
// and takes one column.
#pragma once

#include <cstddef>
#include <string>

namespace station {

// The text with every control character as '?': C0 bytes (ESC, CR, LF,
// ...), DEL, and the C1 controls in their UTF-8 form, which a terminal
// would act on instead of showing. Other bytes stay.
std::string Printable(const std::string& text);

// The columns the text takes.
std::size_t Columns(const std::string& text);

// The text cut to columns (0: no limit), never in the middle of a
// multi-byte character.
std::string CutToColumns(const std::string& text, int columns);

// The text in at most columns, shortened in the middle to "..." when it is
// longer: a third of the room for its head, the rest for its tail, where
// names that differ keep their difference (an adapter's serial number and
// port in usb-Maker_Adapter_A50285BI-if00-port0).
std::string ShortenMiddle(const std::string& text, std::size_t columns);

}  // namespace station
