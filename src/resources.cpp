// The built-in resources: the listing icons, by name, and the help page.
#include "resources.h"

#include "resources_icons.inc"

const builtin_resource builtin_resources[BUILTIN_ICON_COUNT + 1] = {
    {"?folder.gif", icon_folder, sizeof icon_folder},
    {"?zip.gif", icon_zip, sizeof icon_zip},
    {"?file.gif", icon_file, sizeof icon_file},
    {"?html.gif", icon_html, sizeof icon_html},
    {"?bin.gif", icon_bin, sizeof icon_bin},
    {"?doc.gif", icon_doc, sizeof icon_doc},
    {"?text.gif", icon_text, sizeof icon_text},
    {"?image.gif", icon_image, sizeof icon_image},
    {"?audio.gif", icon_audio, sizeof icon_audio},
    {"?video.gif", icon_video, sizeof icon_video},
    {"?zipfolder.gif", icon_zipfolder, sizeof icon_zipfolder},
    {"?zipzip.gif", icon_zip, sizeof icon_zip},  // an archive inside an archive looks like any archive
    {"?zipfile.gif", icon_zipfile, sizeof icon_zipfile},
    {"?zipbin.gif", icon_zipbin, sizeof icon_zipbin},
    {"?zipdoc.gif", icon_zipdoc, sizeof icon_zipdoc},
    {"?ziptext.gif", icon_ziptext, sizeof icon_ziptext},
    {"?ziphtml.gif", icon_ziphtml, sizeof icon_ziphtml},
    {"?zipimage.gif", icon_zipimage, sizeof icon_zipimage},
    {"?zipaudio.gif", icon_zipaudio, sizeof icon_zipaudio},
    {"?zipvideo.gif", icon_zipvideo, sizeof icon_zipvideo},
    {"?viewzip.gif", icon_viewzip, sizeof icon_viewzip},
    {nullptr, nullptr, 0},
};

const char help_page_html[] =
    "<!DOCTYPE html>\n"
    "<html>\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<meta name=\"color-scheme\" content=\"light dark\">\n"
    "<title>Pellorwick HTTP 1.1 Server version 0.1</title>\n"
    "</head>\n"
    "<body>\n"
    "<h1 align=\"center\">Pellorwick HTTP Server 0.1</h1>\n"
    "\n"
    "<h2>Functionality</h2>\n"
    "<p>Pellorwick publishes one folder of your machine on the web: its ordinary files and\n"
    "subfolders, and also the HTML pages, images and other files kept inside ZIP archives.\n"
    "A member of an archive is unpacked while it is sent, so a visitor sees it exactly as if\n"
    "it had never been compressed, and a path such as /docs/manual.zip/index.html simply\n"
    "opens the page inside the archive.</p>\n"
    "<p>The server speaks a subset of HTTP 1.1: GET and HEAD requests, persistent connections\n"
    "and byte ranges, so interrupted downloads can be resumed. Folders without a default page\n"
    "are shown as index pages whose column headings sort the listing.</p>\n"
    "<p>Any folder, an archive or a folder inside one can be downloaded as one .zip file: add\n"
    "?zip to its address (/photos/?zip, or /?zip for everything), or follow the ALL AS .ZIP\n"
    "link of its index page. The download's size is known from its first byte, so it can be\n"
    "resumed. Browsers that accept compressed replies get the compressed members of archives\n"
    "as they are stored, without unpacking.</p>\n"
    "<p>The whole program is a single executable. It writes nothing to disk: no settings\n"
    "file, no log and no temporary files.</p>\n"
    "\n"
    "<h2>Settings</h2>\n"
    "<dl>\n"
    "<dt>Root Directory</dt>\n"
    "<dd>The folder that is published. The path of each requested URL is appended to it to\n"
    "obtain the path of the file to send; the segments \".\" and \"..\" are filtered out of\n"
    "the URL first, so nothing outside this folder can be reached.</dd>\n"
    "<dt>Default page</dt>\n"
    "<dd>The page sent when a URL names a folder, 'index.html' unless you set another name;\n"
    "'Default.htm' and 'index.htm' are common alternatives. A folder that holds no such page\n"
    "is answered with a listing of its contents.</dd>\n"
    "<dt>Port</dt>\n"
    "<dd>The TCP port the server listens on, 80 by default.</dd>\n"
    "</dl>\n"
    "\n"
    "<h2>Command buttons</h2>\n"
    "<dl>\n"
    "<dt>Clear cache</dt>\n"
    "<dd>Forgets the folder listings and pages kept in memory, closes the files and archives\n"
    "that no transfer is using and frees their memory blocks. Use it after changing files in\n"
    "the published folder.</dd>\n"
    "<dt>Start / Stop</dt>\n"
    "<dd>Starts or stops the Pellorwick HTTP Server with the settings shown.</dd>\n"
    "<dt>About</dt>\n"
    "<dd>Shows the version of the program.</dd>\n"
    "<dt>Close</dt>\n"
    "<dd>Ends the program. The close button of the window's title bar only hides the window:\n"
    "the server keeps running, and the icon in the notification area brings the window\n"
    "back.</dd>\n"
    "</dl>\n"
    "\n"
    "<h2>Information on the panel</h2>\n"
    "<dl>\n"
    "<dt>files, blocks, confs, caches, tasks</dt>\n"
    "<dd>The files open now, the memory blocks allocated, the configuration entries, the\n"
    "cached folders and HTML pages, and the tasks running (one per connection).</dd>\n"
    "<dt>sent, recv</dt>\n"
    "<dd>The bytes sent to and received from the clients.</dd>\n"
    "<dt>Online, Total</dt>\n"
    "<dd>The connections open now, and all connections accepted since the program\n"
    "started.</dd>\n"
    "</dl>\n"
    "\n"
    "<hr>\n"
    "<p><small>Pellorwick is free. It uses the zlib library to unpack compressed archive\n"
    "members.</small></p>\n"
    "</body>\n"
    "</html>\n";
