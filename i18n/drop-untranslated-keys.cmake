# Run after lupdate (cmake -DTS_FILES="a.ts;b.ts" -P drop-untranslated-keys.cmake): removes the new,
# empty entries that lupdate adds for texts that pass through tr() but are shown as they stand in
# every language (the baud rates, the language names in their own scripts) and, in English only,
# the two message-box texts whose keys are English already.
set(everywhere "简体中文" "Deutsche" "日本語" "9600" "115200")
set(english_only "Error Message" "File Open Error")

foreach(ts IN LISTS TS_FILES)
    file(READ "${ts}" content)
    set(keys ${everywhere})
    if(ts MATCHES "English")
        list(APPEND keys ${english_only})
    endif()
    foreach(key IN LISTS keys)
        string(REPLACE
            "    <message>\n        <source>${key}</source>\n        <translation type=\"unfinished\"></translation>\n    </message>\n"
            "" content "${content}")
    endforeach()
    file(WRITE "${ts}" "${content}")
endforeach()
