#pragma once

// The console's pictures, compiled into the kolvane_art library as Qt resources.
// Call initArtResources() once (after the application object exists, before the first picture is loaded);
// the library is static, so its resources are not registered on their own.

void initArtResources();

namespace KolvaneArt {

// The start-up splash pictures, 360 x 252 JPEG, shown in this order.
inline constexpr const char* Splash1 = ":/art/splash1.jpg";
inline constexpr const char* Splash2 = ":/art/splash2.jpg";
inline constexpr const char* Splash3 = ":/art/splash3.jpg";

// The About box title picture, 360 x 252 JPEG.
inline constexpr const char* About = ":/art/about.jpg";

// The tree's node pictures (ImageList1), 16 x 16 PNG; the index is the node kind.
inline constexpr const char* NodeFolderClosed = ":/art/node0-folder-closed.png";
inline constexpr const char* NodeFolderOpen = ":/art/node1-folder-open.png";
inline constexpr const char* NodeFile = ":/art/node2-file.png";
inline constexpr const char* NodeLink = ":/art/node3-link.png";

// The menu pictures (ImageList2), 16 x 16 PNG.
inline constexpr const char* MenuClear = ":/art/menu0-clear.png";
inline constexpr const char* MenuAbout = ":/art/menu1-about.png";

// The application icon, PNG with alpha, one picture a size from 16 x 16 to 256 x 256; the desktop's icon theme is
// given the same files.
inline constexpr const char* AppIcons[] = {":/art/app-icon-16.png", ":/art/app-icon-32.png",  ":/art/app-icon-48.png",
                                           ":/art/app-icon-64.png", ":/art/app-icon-128.png", ":/art/app-icon-256.png"};

} // namespace KolvaneArt
