// Documents and images compiled into the service (generated from the files in resources/).
#pragma once
#include <string_view>

namespace zk::resources {

std::string_view ClientAccessPolicy();     // clientaccesspolicy.xml
std::string_view CrossDomainPolicy();      // crossdomain.xml
std::string_view ExchangeFrameTemplate();  // xchgframe.html: "%s" for jQuery, then "%s" for the base URL
std::string_view JQuery();                 // jquery 3.7.1, dist/jquery.min.js from npm
std::string_view TrayIcon();               // tray-icon.png, the tray icon (48x48 PNG)

}  // namespace zk::resources
