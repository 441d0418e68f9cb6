#pragma once

class QListView;
class ItemModelAppIcon;

// Gives a function list the fixed height that shows every item whole: icon,
// caption and the size line a scan adds, measured with the view's own font
// and style, so a larger font resolution cannot clip the second line.
void fitFunctionListHeight(QListView* view, ItemModelAppIcon* model);
