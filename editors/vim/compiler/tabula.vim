" Vim compiler file for tabula.
"
" :make compiles the current file into the PHP file beside it (schema.def
" gives schema.php). Options, set before the file is opened:
"   g:tabula_program  the compiler (default "tabula")
"   g:tabula_output   the output file, may use % modifiers (default "%:r:S.php", the :S quoting it for the shell)
" For a project whose root is another file, set makeprg yourself, e.g.
"   :let &l:makeprg = 'tabula --output schema.php main.def'
if exists('current_compiler')
  finish
endif
let current_compiler = 'tabula'

if exists(':CompilerSet') != 2
  command -nargs=* CompilerSet setlocal <args>
endif

let s:cpo_save = &cpo
set cpo&vim

execute 'CompilerSet makeprg=' . escape(get(g:, 'tabula_program', 'tabula')
      \ . ' --output ' . get(g:, 'tabula_output', '%:r:S.php') . ' %:S', ' \|"')

" Errors are "MESSAGE in FILE:LINE" with an absolute path. Both sides may hold
" " in /": the message inside the quoted names it repeats, the path in a
" folder's name. So the file is taken after the first " in /" outside double
" quotes; where the quotes do not pair up, after the last " in /". The
" closing "Failed to compile the SQL code." has no location and is dropped;
" other lines without one (output file errors) stay as text. tabula-lint's
" findings are "FILE:LINE: warning: MESSAGE [RULE]".
let s:efm = join([
      \ '%-GFailed to compile the SQL code.',
      \ '%f:%l: %tarning: %m',
      \ '%m%\%%(%^%\%%(%\%%( in /%\)%\@!%[%^"]%\|"%[%^"]%#"%\)%#%\)%\@<= in %\%%(/%\)%\@=%f:%l',
      \ '%m in %\%%(/%\)%\@=%f:%l',
      \ ], ',')
execute 'CompilerSet errorformat=' . escape(s:efm, ' \|"')
unlet s:efm

let &cpo = s:cpo_save
unlet s:cpo_save
