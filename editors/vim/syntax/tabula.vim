" Vim syntax file
" Language:	tabula definition files (database schema definitions)
"
" Tokens are split as the compiler splits them: at each place the longest
" match wins and a keyword beats a name of the same length, so "tables" and
" "nullable" are names and "12table" is a number and a keyword. Items are
" defined from the weakest to the strongest, since of two items that match at
" the same place the one defined last wins.

if exists('b:current_syntax')
  finish
endif
let s:cpo_save = &cpo
set cpo&vim

syn case match
syn sync fromstart

" A byte that starts no token: the compiler stops with Unexpected character.
syn match tabulaError "[^ \t\r\n\x0b\x0c]"

syn match tabulaLabel "\h\w*"
syn match tabulaFunction "\h\w*\ze\s*("
syn match tabulaDeclaredName "\%(\<\%(table\|view\|type\|sequence\|query\)\s\+\)\@<=\h\w*"
syn match tabulaVariable "\$\h\w*"
syn match tabulaNumber "\d\+"

syn match tabulaInclude "include\w\@!"
syn match tabulaDeclaration "\%(table\|view\|type\|sequence\|query\|plsql\|function\)\w\@!"
syn match tabulaModifier "\%(volatile\|primary\|index\)\w\@!"
syn match tabulaLink "\%(incoming\|outgoing\)\w\@!"
syn match tabulaNull "null\w\@!"

syn match tabulaDelimiter "[(){}[\],;:]"
syn match tabulaOperator "[.=]"
syn match tabulaNullable "\*"

" Comments do not nest. Inside one a star is taken together with the byte
" after it, so a run of stars ends the comment only when an odd star is left
" before the slash: "/* a **/" goes on, "/* a ***/" ends.
syn region tabulaComment start="/\*" skip="\*[^/]" end="\*/" contains=@Spell

" Strings span lines. Escapes other than \" \\ \f \n \r \t \v, and a
" backslash at the end of a line, are errors. The query markers are
" highlighted in every string, since query bodies are often built from parts.
syn region tabulaString start=+"+ skip=+\\.+ end=+"+ contains=tabulaEscapeError,tabulaEscape,tabulaMarker,@Spell
syn match tabulaEscapeError contained "\\.\="
syn match tabulaEscape contained +\\["\\fnrtv]+
syn match tabulaMarker contained "{\%(ESC\|RAW\):\d\+}"
syn match tabulaMarker contained +{FIELD:[^}"\\]\+}+ contains=tabulaMarkerType
syn match tabulaMarkerType contained +\%({FIELD:\)\@<=[^}"\\]\+\ze}+

" Names (tabulaLabel) keep the normal colour.
hi def link tabulaError Error
hi def link tabulaFunction Function
hi def link tabulaDeclaredName Identifier
hi def link tabulaVariable Identifier
hi def link tabulaNumber Number
hi def link tabulaInclude Include
hi def link tabulaDeclaration Keyword
hi def link tabulaModifier StorageClass
hi def link tabulaLink Keyword
hi def link tabulaNull Constant
hi def link tabulaDelimiter Delimiter
hi def link tabulaOperator Operator
hi def link tabulaNullable StorageClass
hi def link tabulaComment Comment
hi def link tabulaString String
hi def link tabulaEscapeError Error
hi def link tabulaEscape SpecialChar
hi def link tabulaMarker Special
hi def link tabulaMarkerType Type

let b:current_syntax = 'tabula'
let &cpo = s:cpo_save
unlet s:cpo_save
