#include "platform/code_pages.h"

bool code_page_refuses_flags(unsigned code_page) {
  return code_page == 42 || (code_page >= 50220 && code_page <= 50229) ||
         code_page == 54936 || (code_page >= 57002 && code_page <= 57011) ||
         code_page == 65000 || code_page == 65001;
}
