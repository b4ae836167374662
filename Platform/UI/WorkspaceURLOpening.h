#pragma once
// The workspace's URL opening: hands a URL to the desktop's handler for its
// scheme (the default browser for web pages).

#include <QUrl>

#include <functional>

// True when a handler took the URL.
bool WorkspaceOpenURL(const QUrl& url);

// Replaces the desktop for every later call, so tests can record what would
// have been opened; null restores the desktop.
using WorkspaceURLOpener = std::function<bool(const QUrl& url)>;
void WorkspaceSetURLOpener(WorkspaceURLOpener opener);
