// product: the product's name, version and web site.
//
// One address serves the banner of every notice and every information URL
// of the message catalogue, so that the two can never point at different
// sites.
#pragma once

#define CORVANE_PRODUCT "Corvane 1.0.5-4"
#define CORVANE_SITE "https://www.corvane.net"
#define CORVANE_BANNER CORVANE_PRODUCT " (" CORVANE_SITE ")"
