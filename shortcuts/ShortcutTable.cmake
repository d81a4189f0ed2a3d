# The two shortcuts, written once: each one's file name in the Links folder (".url" added),
# the resource id of its document (program-defined type 100) and the title stamped into its
# site properties, which the view shortcut's document also carries as its comment. The
# resource script, the documents (resources/resources.cmake) and the program
# (shortcuts/ShortcutTable.h, generated from ShortcutTable.h.in) take them from here.
set(BRIVOK_SHORTCUT_TEMPLATE_TYPE 100)
set(BRIVOK_SAVE_SHORTCUT_NAME "+ Save It For Later")
set(BRIVOK_SAVE_SHORTCUT_TEMPLATE 102)
set(BRIVOK_SAVE_SHORTCUT_TITLE "BriVok | Save It For Later - What's hot for you.")
set(BRIVOK_VIEW_SHORTCUT_NAME "View Drovs")
set(BRIVOK_VIEW_SHORTCUT_TEMPLATE 101)
set(BRIVOK_VIEW_SHORTCUT_TITLE "BriVok | What's hot for you.")
configure_file(${CMAKE_CURRENT_LIST_DIR}/ShortcutTable.h.in
               ${BRIVOK_GENERATED_DIR}/shortcuts/ShortcutTable.h @ONLY)
