#include "http/cookie_jar.h"
CookieJar::~CookieJar() { clearCookies(); }
void CookieJar::clearCookies() {
  for (int i = 0; i < count; ++i) delete items[i];
  count = 0;
}
