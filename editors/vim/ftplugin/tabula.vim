" Vim filetype plugin for tabula definition files: block comments only, and
" :make runs the compiler (see compiler/tabula.vim).
if exists('b:did_ftplugin')
  finish
endif
let b:did_ftplugin = 1

setlocal commentstring=/*%s*/
setlocal comments=s1:/*,mb:*,ex:*/
setlocal formatoptions-=t formatoptions+=croql
setlocal iskeyword=@,48-57,_
compiler tabula

let b:undo_ftplugin = 'setlocal commentstring< comments< formatoptions< iskeyword< makeprg< errorformat<'
      \ . ' | unlet! b:current_compiler'
