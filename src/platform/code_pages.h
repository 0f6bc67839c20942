#pragma once

// Whether a Windows code page refuses WC_NO_BEST_FIT_CHARS and the lossy-
// conversion report (Symbol, the ISO-2022 pages, GB18030, ISCII, UTF-7 and
// UTF-8): WideCharToMultiByte fails outright when given them. Plain C++, so
// that it is checked on any build machine.
bool code_page_refuses_flags(unsigned code_page);
